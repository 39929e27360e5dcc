// What every fuzz target shares: a property check that stops the run with a
// message (libFuzzer then keeps the input as a crash artifact) and the
// helpers that turn fuzz bytes into texts the plug-in cares about.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "detect/servers.h"

#define FUZZ_REQUIRE(condition, what)                                          \
  do {                                                                         \
    if (!(condition)) fuzzcheck::fail(__FILE__, __LINE__, #condition, (what)); \
  } while (0)

namespace fuzzcheck {

[[noreturn]] inline void fail(const char* file, int line, const char* condition,
                              const std::string& what) {
  std::fprintf(stderr, "%s:%d: property violated: %s\n  %s\n", file, line, condition, what.c_str());
  std::abort();
}

inline bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Printable form of arbitrary bytes, for failure messages.
inline std::string quoted(const std::string& bytes) {
  std::string out = "\"";
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out + "\"";
}

inline std::string bareForm(const char* id) {
  const std::string text(id);
  return text.substr(0, text.size() - 4);
}

// A text that is likely to matter to server recognition: a known identifier,
// its bare form, a port number of the endpoint rows, or plain fuzz bytes,
// with fuzz bytes around it.
inline std::string serverishText(FuzzedDataProvider& input, std::size_t maxLength) {
  static const char* const ports[] = {"27015", "27016", "27021", "27022", "27026", "27027"};
  std::string text = input.ConsumeRandomLengthString(maxLength);
  switch (input.ConsumeIntegralInRange<int>(0, 4)) {
    case 0:
      text += knownServers[input.ConsumeIntegralInRange<std::size_t>(0, knownServerCount - 1)];
      break;
    case 1:
      text += bareForm(
          knownServers[input.ConsumeIntegralInRange<std::size_t>(0, knownServerCount - 1)]);
      break;
    case 2:
      text += ports[input.ConsumeIntegralInRange<std::size_t>(0, 5)];
      break;
    default:
      break;
  }
  text += input.ConsumeRandomLengthString(maxLength);
  return text;
}

}  // namespace fuzzcheck
