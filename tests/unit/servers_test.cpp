#include "detect/servers.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "vorn_deployment.h"

namespace {

// Deployment data unlike the compiled-in one. Server 1's bare form is "9"
// followed by the first 16 digits of server 4's, so "9" + server 4's identifier
// holds both server 4's full form and server 1's bare form.
const std::uint32_t otherAddressA = 0x0A000001u;  // 10.0.0.1
const std::uint32_t otherAddressB = 0xCB007105u;  // 203.0.113.5
const ServerTable otherTable =
    makeServerTable({"97654321098765432/101", "11111111111111111/101", "31415926535897932/101",
                     "76543210987654321/101", "00000000000000005/101"},
                    otherAddressA, otherAddressB);

// Runs every case once through the public functions (compiled-in data) and
// once through the table-taking forms with otherTable.
struct Subject {
  const char* name;
  const ServerTable& table;
  std::uint32_t addressA;
  std::uint32_t addressB;
  std::function<bool(const std::string&)> isKnown;
  std::function<std::string(const std::string&)> find;
  std::function<std::string(const std::string&)> connect;
  std::function<std::string(std::uint32_t, std::uint16_t, std::uint16_t)> endpoint;
};

std::vector<Subject> subjects() {
  return {
      {"compiled-in", builtInServerTable, deployment::endpointAddressA,
       deployment::endpointAddressB, isKnownServer, findKnownServerId, serverFromConnect,
       serverFromEndpoint},
      {"other table", otherTable, otherAddressA, otherAddressB,
       [](const std::string& t) { return isKnownServerIn(otherTable, t); },
       [](const std::string& t) { return findKnownServerIdIn(otherTable, t); },
       [](const std::string& t) { return serverFromConnectIn(otherTable, t); },
       [](std::uint32_t a, std::uint16_t g, std::uint16_t q) {
         return serverFromEndpointIn(otherTable, a, g, q);
       }},
  };
}

// Expands "{3}" to server 3's identifier, "{b3}" to its bare form and "{t3}"
// to its bare form less the last digit.
std::string expand(const ServerTable& table, const std::string& pattern) {
  std::string out;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '{') {
      out += pattern[i];
      continue;
    }
    const std::size_t close = pattern.find('}', i);
    const std::string key = pattern.substr(i + 1, close - i - 1);
    const char form = key.size() == 2 ? key[0] : 'f';
    const std::string id(table.ids[static_cast<std::size_t>(key.back() - '1')]);
    if (form == 'f') out += id;
    if (form == 'b') out += id.substr(0, 17);
    if (form == 't') out += id.substr(0, 16);
    i = close;
  }
  return out;
}

std::string serverOf(const ServerTable& table, int server) {
  return server == 0 ? std::string() : std::string(table.ids[static_cast<std::size_t>(server - 1)]);
}

struct TextCase {
  std::string text;
  int expected;  // server 1 to 5, 0 for no server
};

TEST(Servers, KnownServersAreTheDeploymentIdentifiersInOrder) {
  for (std::size_t i = 0; i < knownServerCount; ++i) {
    EXPECT_STREQ(knownServers[i], deployment::knownServerIds[i]);
    EXPECT_EQ(builtInServerTable.ids[i], deployment::knownServerIds[i]);
  }
}

TEST(Servers, IsKnownServerIsExactMembership) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"{1}", true},        {"{2}", true},
      {"{3}", true},        {"{4}", true},
      {"{5}", true},        {"", false},
      {"{b1}", false},      {"{1} ", false},
      {" {1}", false},      {"{1}{1}", false},
      {"{t1}/101", false},  {"{b1}/10", false},
      {"{b1}/1011", false}, {std::string("{1}\0", 4), false},
  };
  for (const Subject& s : subjects())
    for (const auto& c : cases) {
      const std::string text = expand(s.table, c.first);
      SCOPED_TRACE(std::string(s.name) + ": \"" + text + "\"");
      EXPECT_EQ(s.isKnown(text), c.second);
    }
}

TEST(Servers, EachTableKnowsOnlyItsOwnServers) {
  for (std::string_view id : otherTable.ids) EXPECT_FALSE(isKnownServer(std::string(id))) << id;
  for (const char* id : knownServers) EXPECT_FALSE(isKnownServerIn(otherTable, id)) << id;
}

TEST(Servers, FindKnownServerIdPrefersFullFormsThenTableOrder) {
  const std::vector<TextCase> cases = {
      {"", 0},
      {"{1}", 1},
      {"{5}", 5},
      {"{b2}", 2},
      {"{3} {b1}", 3},
      {"{b1} {3}", 3},
      {"{4}{2}", 2},
      {"{b5} {b1}", 1},
      {"steam://connect/{b3}:27015", 3},
      {"9{b2}9", 2},
      {"{b2}/10", 2},
      {"{t2}", 0},
      {"{t1}/101 {t5}", 0},
      {"12345678901234567/101", 0},
  };
  for (const Subject& s : subjects())
    for (const TextCase& c : cases) {
      const std::string text = expand(s.table, c.text);
      SCOPED_TRACE(std::string(s.name) + ": \"" + text + "\"");
      EXPECT_EQ(s.find(text), serverOf(s.table, c.expected));
    }
}

TEST(Servers, FullFormWinsOverABareFormEarlierInTheText) {
  // "9" + server 4's identifier starts with server 1's bare form.
  const std::string text = "9" + std::string(otherTable.ids[3]);
  ASSERT_EQ(text.find(std::string(otherTable.ids[0]).substr(0, 17)), 0u);
  EXPECT_EQ(findKnownServerIdIn(otherTable, text), otherTable.ids[3]);
  EXPECT_EQ(serverFromConnectIn(otherTable, text), otherTable.ids[3]);
}

TEST(Servers, ServerFromConnectUsesIdentifiersThenPortPairsInRowOrder) {
  const std::vector<TextCase> cases = {
      {"", 0},
      {"+connect 203.0.113.5:27021 +query 27022", 1},
      {"27022 27021", 1},
      {"2702127022", 1},
      {"27027:27026", 2},
      {"27016 27015", 5},
      {"27015", 0},
      {"27021 27026", 0},
      {"27027 27016", 0},
      {"27021 27022 27015 27016", 1},
      {"27015 27016 27027 27026", 2},
      {"{4} 27015 27016", 4},
      {"{b3} 27021 27022", 3},
      {"{t3} 27021 27022", 1},
  };
  for (const Subject& s : subjects())
    for (const TextCase& c : cases) {
      const std::string text = expand(s.table, c.text);
      SCOPED_TRACE(std::string(s.name) + ": \"" + text + "\"");
      EXPECT_EQ(s.connect(text), serverOf(s.table, c.expected));
    }
}

TEST(Servers, ServerFromEndpointNeedsTheExactTriple) {
  enum Address { A, B, SwappedA, Other, Zero };
  struct Case {
    Address address;
    std::uint16_t gamePort;
    std::uint16_t queryPort;
    int expected;
  };
  const std::vector<Case> cases = {
      {A, 27021, 27022, 1},        {A, 27027, 27026, 2},
      {B, 27015, 27016, 5},        {A, 27015, 27016, 0},
      {B, 27021, 27022, 0},        {B, 27027, 27026, 0},
      {A, 27022, 27021, 0},        {A, 27026, 27027, 0},
      {B, 27016, 27015, 0},        {A, 27021, 27026, 0},
      {SwappedA, 27021, 27022, 0}, {Other, 27021, 27022, 0},
      {Zero, 27015, 27016, 0},     {A, 0, 0, 0},
  };
  for (const Subject& s : subjects()) {
    const std::uint32_t a = s.addressA;
    const std::uint32_t b = s.addressB;
    for (const Case& c : cases) {
      std::uint32_t address = 0;
      if (c.address == A) address = a;
      if (c.address == B) address = b;
      if (c.address == SwappedA)
        address = (a >> 24) | ((a >> 8) & 0xFF00u) | ((a << 8) & 0xFF0000u) | (a << 24);
      if (c.address == Other) address = a + 1;
      SCOPED_TRACE(std::string(s.name) + ": " + std::to_string(address) + " " +
                   std::to_string(c.gamePort) + "/" + std::to_string(c.queryPort));
      EXPECT_EQ(s.endpoint(address, c.gamePort, c.queryPort), serverOf(s.table, c.expected));
    }
  }
}

}  // namespace
