#include "http/message.h"

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
  return {status,
          "application/json",
          nlohmann::json{{status < 300 ? "status" : "error", message}}.dump(
              -1, ' ', false, nlohmann::json::error_handler_t::replace) +
              "\n",
          {}};
}

}  // namespace collector
