#include "detect/servers.h"

#include <cstring>

#include "vorn_deployment.h"

// Both are constant-initialised, so they are in place before any code of the
// plug-in can run and are never written afterwards.
constexpr std::array<const char *, knownServerCount> knownServers = {
    deployment::knownServerIds[0], deployment::knownServerIds[1], deployment::knownServerIds[2],
    deployment::knownServerIds[3], deployment::knownServerIds[4]};

constexpr ServerTable builtInServerTable =
    makeServerTable(knownServers, deployment::endpointAddressA, deployment::endpointAddressB);

namespace {

const char *const identifierSuffix = "/101";

struct PortPair {
  const char *first;
  const char *second;
  std::size_t server;
};

// Rich-presence connect strings name the game and query ports in no fixed
// layout, so only the presence of both numbers is checked.
const PortPair portPairs[] = {
    {"27021", "27022", 0},
    {"27027", "27026", 1},
    {"27015", "27016", 4},
};

bool contains(const std::string &text, const char *pattern) {
  return text.find(pattern) != std::string::npos;
}

// The identifier without its "/101"; empty for anything not of that shape.
std::string bareForm(const char *id) {
  const std::size_t length = std::strlen(id);
  const std::size_t suffixLength = std::strlen(identifierSuffix);
  if (length <= suffixLength || std::strcmp(id + length - suffixLength, identifierSuffix) != 0)
    return std::string();
  return std::string(id, length - suffixLength);
}

}  // namespace

bool isKnownServerIn(const ServerTable &table, const std::string &text) {
  for (const char *id : table.ids)
    if (text == id) return true;
  return false;
}

std::string findKnownServerIdIn(const ServerTable &table, const std::string &text) {
  // A full identifier anywhere beats any bare form, whatever the table order.
  for (const char *id : table.ids)
    if (contains(text, id)) return id;
  for (const char *id : table.ids) {
    const std::string bare = bareForm(id);
    if (bare.empty() || !contains(text, bare.c_str())) continue;
    std::string candidate = bare + identifierSuffix;
    if (isKnownServerIn(table, candidate)) return candidate;
  }
  return std::string();
}

std::string serverFromConnectIn(const ServerTable &table, const std::string &text) {
  if (text.empty()) return std::string();
  std::string found = findKnownServerIdIn(table, text);
  if (!found.empty()) return found;
  for (const PortPair &pair : portPairs)
    if (contains(text, pair.first) && contains(text, pair.second)) return table.ids[pair.server];
  return std::string();
}

std::string serverFromEndpointIn(const ServerTable &table, std::uint32_t address,
                                 std::uint16_t gamePort, std::uint16_t queryPort) {
  for (const ServerEndpoint &row : table.endpoints)
    if (row.address == address && row.gamePort == gamePort && row.queryPort == queryPort)
      return table.ids[row.server];
  return std::string();
}

bool isKnownServer(const std::string &text) { return isKnownServerIn(builtInServerTable, text); }

std::string findKnownServerId(const std::string &text) {
  return findKnownServerIdIn(builtInServerTable, text);
}

std::string serverFromConnect(const std::string &text) {
  return serverFromConnectIn(builtInServerTable, text);
}

std::string serverFromEndpoint(std::uint32_t address, std::uint16_t gamePort,
                               std::uint16_t queryPort) {
  return serverFromEndpointIn(builtInServerTable, address, gamePort, queryPort);
}
