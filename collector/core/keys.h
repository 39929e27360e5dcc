// API keys: generated from the system's cryptographic random source and known
// to the store only by their SHA-256.
#pragma once

#include <string>

namespace collector {

// A new key: 256 random bits as 64 lower-case hex digits. Empty on failure of
// the random source.
std::string generateKey();

// SHA-256 of the key's bytes, as 64 lower-case hex digits.
std::string hashKey(const std::string& key);

}  // namespace collector
