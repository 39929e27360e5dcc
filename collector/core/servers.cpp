#include "core/servers.h"

#include <algorithm>

#include "vorn_deployment.h"

namespace collector {

const std::vector<std::string>& knownServers() {
  static const std::vector<std::string> servers(std::begin(deployment::knownServerIds),
                                                std::end(deployment::knownServerIds));
  return servers;
}

bool isKnownServer(const std::string& serverId) {
  const std::vector<std::string>& servers = knownServers();
  return std::find(servers.begin(), servers.end(), serverId) != servers.end();
}

std::string unknownServerText(const std::string& serverId) {
  std::string servers;
  for (const std::string& id : knownServers()) servers += (servers.empty() ? "" : ", ") + id;
  return "'" + serverId + "' is not one of this build's servers (" + servers + ")";
}

bool parseServerOption(const std::string& flag, const std::string& form, const std::string& text,
                       const std::function<bool(const std::string&)>& valueOk, ServerOption& option,
                       std::string& message) {
  const auto equals = text.find('=');
  option.id = text.substr(0, equals);
  option.value = equals == std::string::npos ? "" : text.substr(equals + 1);
  if (option.value.empty() || !valueOk(option.value)) {
    message = flag + " wants " + form + ", got '" + text + "'";
    return false;
  }
  if (!isKnownServer(option.id)) {
    message = flag + ": " + unknownServerText(option.id);
    return false;
  }
  return true;
}

}  // namespace collector
