#include "detect/servers.h"

#include "vorn_deployment.h"

// Both are constant-initialised, so they are in place before any code of the
// plug-in can run and are never written afterwards.
constexpr std::array<const char*, knownServerCount> knownServers = {
    deployment::knownServerIds[0], deployment::knownServerIds[1], deployment::knownServerIds[2],
    deployment::knownServerIds[3], deployment::knownServerIds[4]};

constexpr ServerTable builtInServerTable =
    makeServerTable(knownServers, deployment::endpointAddressA, deployment::endpointAddressB);

namespace {

constexpr std::string_view identifierSuffix = "/101";

struct PortPair {
  std::string_view first;
  std::string_view second;
  std::size_t server;
};

// Rich-presence connect strings name the game and query ports in no fixed
// layout, so only the presence of both numbers is checked.
constexpr PortPair portPairs[] = {
    {"27021", "27022", 0},
    {"27027", "27026", 1},
    {"27015", "27016", 4},
};

bool contains(const std::string& text, std::string_view pattern) {
  return text.find(pattern) != std::string::npos;
}

// The identifier without its "/101"; empty for anything not of that shape.
std::string_view bareForm(std::string_view id) {
  if (id.size() <= identifierSuffix.size() ||
      id.substr(id.size() - identifierSuffix.size()) != identifierSuffix)
    return std::string_view();
  return id.substr(0, id.size() - identifierSuffix.size());
}

}  // namespace

bool isKnownServerIn(const ServerTable& table, const std::string& text) {
  for (std::string_view id : table.ids)
    if (text == id) return true;
  return false;
}

std::string findKnownServerIdIn(const ServerTable& table, const std::string& text) {
  // A full identifier anywhere beats any bare form, whatever the table order.
  for (std::string_view id : table.ids)
    if (contains(text, id)) return std::string(id);
  for (std::string_view id : table.ids) {
    const std::string_view bare = bareForm(id);
    if (bare.empty() || !contains(text, bare)) continue;
    std::string candidate(bare);
    candidate += identifierSuffix;
    if (isKnownServerIn(table, candidate)) return candidate;
  }
  return std::string();
}

std::string serverFromConnectIn(const ServerTable& table, const std::string& text) {
  if (text.empty()) return std::string();
  std::string found = findKnownServerIdIn(table, text);
  if (!found.empty()) return found;
  for (const PortPair& pair : portPairs)
    if (contains(text, pair.first) && contains(text, pair.second))
      return std::string(table.ids[pair.server]);
  return std::string();
}

std::string serverFromEndpointIn(const ServerTable& table, std::uint32_t address,
                                 std::uint16_t gamePort, std::uint16_t queryPort) {
  for (const ServerEndpoint& row : table.endpoints)
    if (row.address == address && row.gamePort == gamePort && row.queryPort == queryPort)
      return std::string(table.ids[row.server]);
  return std::string();
}

bool isKnownServer(const std::string& text) { return isKnownServerIn(builtInServerTable, text); }

std::string findKnownServerId(const std::string& text) {
  return findKnownServerIdIn(builtInServerTable, text);
}

std::string serverFromConnect(const std::string& text) {
  return serverFromConnectIn(builtInServerTable, text);
}

std::string serverFromEndpoint(std::uint32_t address, std::uint16_t gamePort,
                               std::uint16_t queryPort) {
  return serverFromEndpointIn(builtInServerTable, address, gamePort, queryPort);
}
