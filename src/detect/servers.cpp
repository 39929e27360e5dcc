#include "detect/servers.h"

#include "vorn_deployment.h"

bool isKnownServer(const std::string& text) {
  for (const char* id : deployment::knownServerIds)
    if (text == id) return true;
  return false;
}
std::string findKnownServerId(const std::string&) { return std::string(); }
std::string serverFromConnect(const std::string&) { return std::string(); }
std::string serverFromEndpoint(std::uint32_t, std::uint16_t, std::uint16_t) {
  return std::string();
}
