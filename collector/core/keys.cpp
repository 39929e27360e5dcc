#include "core/keys.h"

#include <openssl/evp.h>
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
  // Fetched once: OpenSSL 3's SHA256() looks the algorithm up on every call,
  // which cost three times the hashing of a key, once per report.
  static EVP_MD* const sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (sha256 && EVP_Digest(key.data(), key.size(), digest, &size, sha256, nullptr) == 1) {
    return toHex(digest, size);
  }
  SHA256(reinterpret_cast<const unsigned char*>(key.data()), key.size(), digest);
  return toHex(digest, SHA256_DIGEST_LENGTH);
}

}  // namespace collector
