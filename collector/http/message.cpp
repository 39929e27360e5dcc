#include "http/message.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace collector {

const std::string* HttpRequest::param(const std::string& name) const {
  auto found = query.find(name);
  return found == query.end() ? nullptr : &found->second;
}

std::string HttpRequest::header(const std::string& lowerName) const {
  auto found = headers.find(lowerName);
  return found == headers.end() ? std::string() : found->second;
}

HttpAnswer jsonAnswer(int status, const std::string& message) {
  const char* member = status < 300 ? "status" : "error";
  // Most messages are plain text that JSON takes as it is (every report's
  // answer): written directly, byte for byte what the library writes.
  const bool plain = std::all_of(message.begin(), message.end(), [](char c) {
    return c >= 0x20 && c < 0x7f && c != '"' && c != '\\';
  });
  if (plain) {
    return {
        status, "application/json", "{\"" + std::string(member) + "\":\"" + message + "\"}\n", {}};
  }
  return {status,
          "application/json",
          nlohmann::json{{member, message}}.dump(-1, ' ', false,
                                                 nlohmann::json::error_handler_t::replace) +
              "\n",
          {}};
}

}  // namespace collector
