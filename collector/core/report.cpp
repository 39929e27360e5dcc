#include "core/report.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>

#include "core/servers.h"

namespace collector {

namespace {

bool takeString(const nlohmann::json& object, const char* name, std::string& out) {
  auto member = object.find(name);
  if (member == object.end() || !member->is_string()) return false;
  out = member->get<std::string>();
  return true;
}

// A name, truck or trailer: at most maxTextBytes, no control character.
bool takeText(const nlohmann::json& object, const char* name, std::string& out) {
  if (!takeString(object, name, out) || out.size() > maxTextBytes) return false;
  return std::none_of(out.begin(), out.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

}  // namespace

bool isUtf8(const std::string& text) {
  const auto* byte = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = byte + text.size();
  while (byte < end) {
    const unsigned char lead = *byte++;
    if (lead < 0x80) continue;
    int more = 0;
    unsigned min = 0;
    unsigned code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      more = 1, min = 0x80, code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      more = 2, min = 0x800, code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      more = 3, min = 0x10000, code = lead & 0x07;
    } else {
      return false;
    }
    if (end - byte < more) return false;
    for (int i = 0; i < more; ++i, ++byte) {
      if ((*byte & 0xC0) != 0x80) return false;
      code = code << 6 | (*byte & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
  }
  return true;
}

std::string rawStringMember(const std::string& text, const char* name, std::size_t maxBytes) {
  const std::string key = std::string("\"") + name + "\"";
  auto at = text.find(key);
  if (at == std::string::npos) return "";
  at = text.find_first_not_of(" \t\r\n", at + key.size());
  if (at == std::string::npos || text[at] != ':') return "";
  at = text.find_first_not_of(" \t\r\n", at + 1);
  if (at == std::string::npos || text[at] != '"') return "";
  std::string raw;
  for (++at; at < text.size() && text[at] != '"' && raw.size() < maxBytes; ++at) {
    raw += text[at];
    if (text[at] == '\\' && at + 1 < text.size()) raw += text[++at];
  }
  return raw;
}

BodyCheck parseReportBody(const std::string& text, ReportBody& body) {
  if (!isUtf8(text)) return BodyCheck::notUtf8;
  const nlohmann::json object = nlohmann::json::parse(text, nullptr, false);
  if (!object.is_object() || object.size() != 6) return BodyCheck::malformed;
  ReportBody parsed;
  if (!takeText(object, "player_name", parsed.playerName) ||
      !takeString(object, "server_id", parsed.serverId) ||
      !takeText(object, "truck", parsed.truck) || !takeText(object, "trailer", parsed.trailer)) {
    return BodyCheck::malformed;
  }
  auto miles = object.find("miles_delta");
  auto seconds = object.find("seconds_delta");
  if (miles == object.end() || !miles->is_number() || seconds == object.end() ||
      !seconds->is_number_integer()) {
    return BodyCheck::malformed;
  }
  parsed.miles = miles->get<double>();
  // The plug-in counts seconds in a signed 32-bit integer.
  if (seconds->is_number_unsigned()) {
    if (seconds->get<std::uint64_t>() > std::numeric_limits<std::int32_t>::max()) {
      return BodyCheck::malformed;
    }
  }
  parsed.seconds = seconds->get<std::int64_t>();
  if (!(parsed.miles >= 0.0) || parsed.seconds < 0) return BodyCheck::malformed;
  if (!isKnownServer(parsed.serverId)) return BodyCheck::unknownServer;
  if (parsed.miles > maxMilesDelta) return BodyCheck::tooManyMiles;
  body = std::move(parsed);
  return BodyCheck::ok;
}

bool exceedsSpeed(double miles, std::int64_t seconds, double maxMph) {
  // Seconds are whole and the plug-in carries the fraction to the next report,
  // so the miles of up to one more second may come along.
  const double allowedMiles = maxMph * static_cast<double>(seconds + 1) / 3600.0;
  return miles > allowedMiles;
}

bool exceedsWallTime(std::int64_t seconds, std::int64_t wallMs) {
  const std::int64_t excessMs = seconds * 1000 - wallMs;
  return excessMs > 10000 && excessMs * 10 > wallMs;
}

}  // namespace collector
