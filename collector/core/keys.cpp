#include "core/keys.h"

#include <openssl/rand.h>
#include <openssl/sha.h>

namespace collector {

namespace {

std::string toHex(const unsigned char* bytes, std::size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    hex += digits[bytes[i] >> 4];
    hex += digits[bytes[i] & 0x0f];
  }
  return hex;
}

}  // namespace

std::string generateKey() {
  unsigned char bytes[32];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return {};
  return toHex(bytes, sizeof bytes);
}

std::string hashKey(const std::string& key) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(key.data()), key.size(), digest);
  return toHex(digest, sizeof digest);
}

}  // namespace collector
