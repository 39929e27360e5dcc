// A property check that stops the run with a message; libFuzzer then keeps
// the input as a crash artifact.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_REQUIRE(condition, what)                                                              \
  do {                                                                                             \
    if (!(condition)) {                                                                            \
      std::fprintf(stderr, "%s:%d: property violated: %s\n  %s\n", __FILE__, __LINE__, #condition, \
                   fuzzcheck::quoted(what).c_str());                                               \
      std::abort();                                                                                \
    }                                                                                              \
  } while (0)

namespace fuzzcheck {

// Printable form of arbitrary bytes, for failure messages.
inline std::string quoted(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    char hex[8];
    std::snprintf(hex, sizeof hex, c >= 0x20 && c < 0x7F ? "%c" : "\\x%02x", c);
    out += hex;
  }
  return out;
}

}  // namespace fuzzcheck
