// The five known multiplayer servers and the rules that recognise them.
//
// Every answer is either empty text or one of the five identifiers, so what the
// detector publishes either passes isKnownServer or means "no server".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

constexpr std::size_t knownServerCount = 5;

// Server 1 to server 5; the order is the tie-break of every search below.
extern const std::array<const char*, knownServerCount> knownServers;

bool isKnownServer(const std::string& text);
std::string findKnownServerId(const std::string& text);
std::string serverFromConnect(const std::string& text);
std::string serverFromEndpoint(std::uint32_t address, std::uint16_t gamePort,
                               std::uint16_t queryPort);

// The same rules over an explicit table, so that they can be exercised with
// other deployment data than the one compiled in.
struct ServerEndpoint {
  std::uint32_t address;  // IPv4, first dotted octet in the most significant byte
  std::uint16_t gamePort;
  std::uint16_t queryPort;
  std::size_t server;  // index into ServerTable::ids
};

struct ServerTable {
  // Views keep the lengths at hand: the counting gate tests membership on
  // every counted frame and odometer sample.
  std::array<std::string_view, knownServerCount> ids;  // each 17 digits then "/101"
  std::array<ServerEndpoint, 3> endpoints;             // searched in this order
};

// Servers 1 and 2 share one address and server 5 has the other; servers 3 and
// 4 have no endpoint and are only recognised by their identifiers.
constexpr ServerTable makeServerTable(const std::array<const char*, knownServerCount>& ids,
                                      std::uint32_t addressA, std::uint32_t addressB) {
  return ServerTable{
      {ids[0], ids[1], ids[2], ids[3], ids[4]},
      {{{addressA, 27021, 27022, 0}, {addressA, 27027, 27026, 1}, {addressB, 27015, 27016, 4}}}};
}

extern const ServerTable builtInServerTable;

bool isKnownServerIn(const ServerTable& table, const std::string& text);
std::string findKnownServerIdIn(const ServerTable& table, const std::string& text);
std::string serverFromConnectIn(const ServerTable& table, const std::string& text);
std::string serverFromEndpointIn(const ServerTable& table, std::uint32_t address,
                                 std::uint16_t gamePort, std::uint16_t queryPort);
