// Server identification over arbitrary texts. Every answer is empty or one of
// the five known identifiers, and every non-empty answer is justified by its
// input: the text holds the identifier or its bare form (or, for a connect
// value, both ports of that server's row). The endpoint rule is an exact
// table lookup, which the unit table covers.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/fuzz_check.h"
#include "detect/servers.h"

namespace {

struct Row {
  std::size_t server;
  const char* portA;
  const char* portB;
};

const Row rows[] = {{0, "27021", "27022"}, {1, "27027", "27026"}, {4, "27015", "27016"}};

bool mentions(const std::string& text, std::size_t server) {
  return fuzzcheck::contains(text, knownServers[server]) ||
         fuzzcheck::contains(text, fuzzcheck::bareForm(knownServers[server]));
}

// Index of a known identifier, or knownServerCount for anything else.
std::size_t serverIndex(const std::string& id) {
  for (std::size_t i = 0; i < knownServerCount; ++i)
    if (id == knownServers[i]) return i;
  return knownServerCount;
}

void requireEmptyOrKnown(const char* operation, const std::string& answer) {
  FUZZ_REQUIRE(answer.empty() || serverIndex(answer) < knownServerCount,
               std::string(operation) + " gave " + fuzzcheck::quoted(answer));
}

void checkText(const std::string& text) {
  const bool known = serverIndex(text) < knownServerCount;
  const std::string found = findKnownServerId(text);
  requireEmptyOrKnown("findKnownServerId", found);
  bool anyMentioned = false;
  for (std::size_t i = 0; i < knownServerCount; ++i) anyMentioned |= mentions(text, i);
  FUZZ_REQUIRE(found.empty() != anyMentioned, "findKnownServerId gave " + fuzzcheck::quoted(found) +
                                                  " for " + fuzzcheck::quoted(text));
  if (!found.empty())
    FUZZ_REQUIRE(mentions(text, serverIndex(found)), "found a server the text does not name");
  // A text that names a server in full is answered with a server named in full.
  bool anyFull = false;
  for (std::size_t i = 0; i < knownServerCount; ++i)
    anyFull |= fuzzcheck::contains(text, knownServers[i]);
  if (anyFull) FUZZ_REQUIRE(fuzzcheck::contains(text, found), "a bare form beat a full identifier");
  if (known) FUZZ_REQUIRE(found == text, "an identifier alone is not found as itself");

  const std::string connect = serverFromConnect(text);
  requireEmptyOrKnown("serverFromConnect", connect);
  if (!found.empty()) {
    FUZZ_REQUIRE(connect == found, "the connect rule ignored the identifier in the text");
  } else if (!connect.empty()) {
    bool byPorts = false;
    for (const Row& row : rows)
      byPorts |= connect == knownServers[row.server] && fuzzcheck::contains(text, row.portA) &&
                 fuzzcheck::contains(text, row.portB);
    FUZZ_REQUIRE(byPorts, "connect gave " + connect + " without its ports in the text");
  } else {
    for (const Row& row : rows)
      FUZZ_REQUIRE(text.empty() || !fuzzcheck::contains(text, row.portA) ||
                       !fuzzcheck::contains(text, row.portB),
                   "both ports of a row in " + fuzzcheck::quoted(text) + " gave nothing");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  std::string text;
  const int pieces = input.ConsumeIntegralInRange<int>(0, 4);
  for (int i = 0; i < pieces; ++i) text += fuzzcheck::serverishText(input, 12);
  text += input.ConsumeRemainingBytesAsString();
  checkText(text);
  return 0;
}
