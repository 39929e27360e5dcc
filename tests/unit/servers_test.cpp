#include "detect/servers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vorn_deployment.h"

namespace {

// Deployment data unlike the compiled-in one. Server 1's bare form is "9" and
// the first 16 digits of server 4's, so "9" + server 4's identifier holds both
// server 4's full form and, earlier in the text, server 1's bare form.
const ServerTable otherTable =
    makeServerTable({"97654321098765432/101", "11111111111111111/101", "31415926535897932/101",
                     "76543210987654321/101", "00000000000000005/101"},
                    0x0A000001u, 0xCB007105u);

struct Subject {
  const char* name;
  const ServerTable& table;
  std::uint32_t addressA, addressB;
};
const Subject subjects[] = {
    {"compiled-in", builtInServerTable, deployment::endpointAddressA, deployment::endpointAddressB},
    {"other table", otherTable, 0x0A000001u, 0xCB007105u},
};

// "{3}" is server 3's identifier, "{b3}" its bare form, "{t3}" its bare form
// less the last digit.
std::string expand(const ServerTable& table, const std::string& pattern) {
  std::string out;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const std::size_t close = pattern.find('}', i);
    if (pattern[i] != '{' || close == std::string::npos) {
      out += pattern[i];
      continue;
    }
    const std::string id(table.ids[static_cast<std::size_t>(pattern[close - 1] - '1')]);
    const char form = close - i == 3 ? pattern[i + 1] : 'f';
    out += form == 'b' ? id.substr(0, 17) : form == 't' ? id.substr(0, 16) : id;
    i = close;
  }
  return out;
}

std::string server(const ServerTable& table, int number) {  // 0: no server
  return number == 0 ? std::string() : std::string(table.ids[static_cast<std::size_t>(number - 1)]);
}

using TextCase = std::pair<std::string, int>;  // a text and the server it names (0: none)

bool known(const ServerTable&, int number) { return number != 0; }

// Every case on both tables; on the compiled-in one, the entry point without a
// table must give the same answer.
template <typename Answer>
void expectOnEveryTable(const std::vector<TextCase>& cases,
                        Answer (*onTable)(const ServerTable&, const std::string&),
                        Answer (*compiledIn)(const std::string&),
                        Answer (*expected)(const ServerTable&, int)) {
  for (const Subject& s : subjects)
    for (const auto& [pattern, number] : cases) {
      const std::string text = expand(s.table, pattern);
      SCOPED_TRACE(std::string(s.name) + ": \"" + text + "\"");
      EXPECT_EQ(onTable(s.table, text), expected(s.table, number));
      if (&s.table == &builtInServerTable) {
        EXPECT_EQ(compiledIn(text), expected(s.table, number));
      }
    }
}

// "N:TEXT": the text's answer is server N (0: none).
std::vector<TextCase> expecting(std::initializer_list<const char*> rows) {
  std::vector<TextCase> cases;
  for (const char* row : rows) cases.push_back({row + 2, row[0] - '0'});
  return cases;
}

TEST(Servers, IsKnownServerIsExactMembership) {
  auto cases = expecting({"1:{1}", "1:{5}", "0:", "0:{b1}", "0:{1} ", "0: {1}", "0:{t1}/101"});
  cases.push_back({std::string("{1}\0", 4), 0});
  expectOnEveryTable(cases, isKnownServerIn, isKnownServer, known);
}

TEST(Servers, FindKnownServerIdPrefersFullFormsThenTableOrder) {
  expectOnEveryTable(
      expecting({"0:", "1:{1}", "5:{5}", "2:{b2}", "3:{b1} {3}", "2:{4}{2}", "1:{b5} {b1}",
                 "2:9{b2}9", "2:{b2}/10", "0:{t1}/101 {t5}", "0:12345678901234567/101", "4:9{4}"}),
      findKnownServerIdIn, findKnownServerId, server);
}

TEST(Servers, ServerFromConnectUsesIdentifiersThenPortPairsInRowOrder) {
  expectOnEveryTable(
      expecting({"0:", "1:+connect 203.0.113.5:27021 +query 27022", "1:27022 27021", "1:2702127022",
                 "2:27027:27026", "5:27016 27015", "0:27015", "0:27021 27026",
                 "2:27015 27016 27027 27026", "3:{b3} 27021 27022", "1:{t3} 27021 27022"}),
      serverFromConnectIn, serverFromConnect, server);
}

TEST(Servers, ServerFromEndpointNeedsTheExactTriple) {
  enum Address { A, B, SwappedA, Other };
  const struct {
    Address address;
    std::uint16_t gamePort, queryPort;
    int expected;
  } cases[] = {
      {A, 27021, 27022, 1}, {A, 27027, 27026, 2},     {B, 27015, 27016, 5},
      {A, 27015, 27016, 0}, {B, 27021, 27022, 0},     {A, 27022, 27021, 0},
      {A, 27021, 27026, 0}, {Other, 27021, 27022, 0}, {SwappedA, 27021, 27022, 0},
  };
  for (const Subject& s : subjects)
    for (const auto& c : cases) {
      const std::uint32_t a = s.addressA;
      const std::uint32_t address = c.address == A       ? a
                                    : c.address == B     ? s.addressB
                                    : c.address == Other ? a + 1
                                                         : __builtin_bswap32(a);
      SCOPED_TRACE(std::string(s.name) + ": " + std::to_string(address) + " " +
                   std::to_string(c.gamePort) + "/" + std::to_string(c.queryPort));
      EXPECT_EQ(serverFromEndpointIn(s.table, address, c.gamePort, c.queryPort),
                server(s.table, c.expected));
      if (&s.table == &builtInServerTable) {
        EXPECT_EQ(serverFromEndpoint(address, c.gamePort, c.queryPort),
                  server(s.table, c.expected));
      }
    }
}

}  // namespace
