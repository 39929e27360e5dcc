// The build's servers (the deployment header's list) and the operator's
// options that name one of them, ID=VALUE. Pure functions, no I/O.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace collector {

// The build's server ids, in the deployment header's order.
const std::vector<std::string>& knownServers();
bool isKnownServer(const std::string& serverId);
// "'ID' is not one of this build's servers (A, B, ...)": the build's ids listed.
std::string unknownServerText(const std::string& serverId);

// One ID=VALUE of a per-server option, split at the first '='.
struct ServerOption {
  std::string id;
  std::string value;
};

// Reads `text`, one ID=VALUE of the option `flag` (as "--server-name"). False
// with the message to print when there is no '=', nothing after it or
// `valueOk` refuses the value ("FLAG wants FORM, got 'TEXT'"), or when ID is
// not one of the build's servers. Whether the id was given before is the
// caller's to say.
bool parseServerOption(const std::string& flag, const std::string& form, const std::string& text,
                       const std::function<bool(const std::string&)>& valueOk, ServerOption& option,
                       std::string& message);

}  // namespace collector
