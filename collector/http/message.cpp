#include "http/message.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string_view>

namespace collector {

const std::string* HttpRequest::param(const std::string& name) const {
  auto found = query.find(name);
  return found == query.end() ? nullptr : &found->second;
}

std::string HttpRequest::header(const std::string& lowerName) const {
  auto found = headers.find(lowerName);
  return found == headers.end() ? std::string() : found->second;
}

namespace {

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool sameLetters(std::string_view text, std::string_view lower) {
  return text.size() == lower.size() &&
         std::equal(text.begin(), text.end(), lower.begin(),
                    [](char a, char b) { return (a >= 'A' && a <= 'Z' ? a + 32 : a) == b; });
}

}  // namespace

bool HttpRequest::acceptsGzip() const {
  // Codings with optional parameters, "gzip;q=0.5, br": a weight of 0 (0,
  // 0.0, 0.000) refuses the coding, any other takes it. A coding named
  // outright decides; "*" stands for every one not named.
  const std::string accept = header("accept-encoding");
  std::string_view rest = accept;
  bool star = false;
  while (!rest.empty()) {
    const auto comma = rest.find(',');
    std::string_view item = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    const auto semicolon = item.find(';');
    const std::string_view coding = trimmed(item.substr(0, semicolon));
    bool weighted = true;
    for (auto at = semicolon; at != std::string_view::npos;) {
      const auto next = item.find(';', at + 1);
      const std::string_view param = trimmed(item.substr(at + 1, next - at - 1));
      if (param.size() >= 2 && sameLetters(param.substr(0, 2), "q=")) {
        const std::string_view weight = param.substr(2);
        weighted = weight.find_first_not_of("0.") != std::string_view::npos;
      }
      at = next;
    }
    if (sameLetters(coding, "gzip") || sameLetters(coding, "x-gzip")) return weighted;
    if (coding == "*") star = weighted;
  }
  return star;
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
