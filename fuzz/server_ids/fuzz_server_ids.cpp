// The four server-identification operations over arbitrary texts and
// endpoints. Every answer is empty or one of the five known identifiers, and
// every non-empty answer is justified by its input: the text holds the
// identifier or its bare form (or, for a connect value, both ports of that
// server's row); the endpoint is one of the three rows exactly.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/fuzz_check.h"
#include "detect/servers.h"
#include "vorn_deployment.h"

namespace {

struct Row {
  std::uint32_t address;
  std::uint16_t gamePort;
  std::uint16_t queryPort;
  std::size_t server;
  const char* portA;
  const char* portB;
};

const Row rows[] = {
    {deployment::endpointAddressA, 27021, 27022, 0, "27021", "27022"},
    {deployment::endpointAddressA, 27027, 27026, 1, "27027", "27026"},
    {deployment::endpointAddressB, 27015, 27016, 4, "27015", "27016"},
};

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
  FUZZ_REQUIRE(answer.empty() || isKnownServer(answer),
               std::string(operation) + " gave " + fuzzcheck::quoted(answer));
  FUZZ_REQUIRE(answer.empty() || serverIndex(answer) < knownServerCount,
               std::string(operation) + " gave an identifier outside the table");
}

std::uint16_t fuzzedPort(FuzzedDataProvider& input) {
  static const std::uint16_t ports[] = {27015, 27016, 27021, 27022, 27026, 27027};
  if (input.ConsumeBool()) return input.ConsumeIntegral<std::uint16_t>();
  return ports[input.ConsumeIntegralInRange<std::size_t>(0, 5)];
}

void checkText(const std::string& text) {
  const bool known = isKnownServer(text);
  FUZZ_REQUIRE(!known || serverIndex(text) < knownServerCount,
               "isKnownServer accepts " + fuzzcheck::quoted(text));
  FUZZ_REQUIRE(known || serverIndex(text) == knownServerCount,
               "isKnownServer refuses " + fuzzcheck::quoted(text));

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

void checkEndpoint(std::uint32_t address, std::uint16_t gamePort, std::uint16_t queryPort) {
  const std::string answer = serverFromEndpoint(address, gamePort, queryPort);
  requireEmptyOrKnown("serverFromEndpoint", answer);
  const Row* match = nullptr;
  for (const Row& row : rows)
    if (row.address == address && row.gamePort == gamePort && row.queryPort == queryPort)
      match = &row;
  const std::string expected = match != nullptr ? knownServers[match->server] : "";
  FUZZ_REQUIRE(answer == expected, "endpoint " + std::to_string(address) + ":" +
                                       std::to_string(gamePort) + "/" + std::to_string(queryPort) +
                                       " gave " + answer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  std::uint32_t address = input.ConsumeIntegral<std::uint32_t>();
  switch (input.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
      address = deployment::endpointAddressA;
      break;
    case 1:
      address = deployment::endpointAddressB;
      break;
    default:
      break;
  }
  const std::uint16_t gamePort = fuzzedPort(input);
  const std::uint16_t queryPort = fuzzedPort(input);
  checkEndpoint(address, gamePort, queryPort);

  std::string text;
  const int pieces = input.ConsumeIntegralInRange<int>(0, 4);
  for (int i = 0; i < pieces; ++i) text += fuzzcheck::serverishText(input, 12);
  text += input.ConsumeRemainingBytesAsString();
  checkText(text);
  return 0;
}
