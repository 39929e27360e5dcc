#include "core/announce.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

#include "core/text.h"

namespace collector {

namespace {

// A zero-width space, U+200B.
constexpr const char* zeroWidthSpace = "\xE2\x80\x8B";

}  // namespace

std::vector<std::int64_t> milestonesPassed(double before, double after) {
  std::vector<std::int64_t> passed;
  const double from = std::floor(before * 1e6 + 0.5), to = std::floor(after * 1e6 + 0.5);
  for (const std::int64_t miles : milestoneMiles) {
    const double at = static_cast<double>(miles) * 1e6;
    if (from < at && at <= to) passed.push_back(miles);
  }
  return passed;
}

std::string chatSafe(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  for (std::size_t at = 0; at < text.size();) {
    if (const std::size_t control = controlCharacterBytes(text, at)) {
      at += control;
      continue;
    }
    const char c = text[at++];
    if (std::strchr("*_~`|>#[]()\\", c)) out += '\\';
    out += c;
    if (c == '@') out += zeroWidthSpace;
  }
  // No link either: the text as sent, controls gone, holds no "://".
  for (std::size_t at = out.find("://"); at != std::string::npos; at = out.find("://", at)) {
    out.insert(at + 1, zeroWidthSpace);
    at += 1 + std::strlen(zeroWidthSpace) + 2;
  }
  return out;
}

std::string linkLine(const std::string& url) { return url.empty() ? "" : "\n<" + url + ">"; }

std::string milestoneMessage(const std::string& player, std::int64_t miles,
                             const std::string& publicUrl) {
  return "**" + chatSafe(player) + "** has driven " + groupedNumber(static_cast<double>(miles), 0) +
         " counted miles." +
         linkLine(publicUrl.empty() ? "" : publicUrl + "/players/" + percentEncode(player));
}

std::string webhookBody(const std::string& content) {
  nlohmann::json body = {{"content", content},
                         {"allowed_mentions", {{"parse", nlohmann::json::array()}}}};
  return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace collector
