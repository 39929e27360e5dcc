#include "core/report.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>

#include "vorn_deployment.h"

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

bool isBuildServer(const std::string& serverId) {
  for (const char* known : deployment::knownServerIds) {
    if (serverId == known) return true;
  }
  return false;
}

}  // namespace

BodyCheck parseReportBody(const std::string& text, ReportBody& body) {
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
  if (!isBuildServer(parsed.serverId)) return BodyCheck::unknownServer;
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
