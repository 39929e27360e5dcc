#include "upload/report.h"

#include <charconv>
#include <locale>
#include <sstream>

std::string escapeJsonString(const std::string& text) {
  static const char hexDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 8);
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    switch (byte) {
      case 0x08:
        out += "\\b";
        break;
      case 0x09:
        out += "\\t";
        break;
      case 0x0A:
        out += "\\n";
        break;
      case 0x0C:
        out += "\\f";
        break;
      case 0x0D:
        out += "\\r";
        break;
      case 0x22:
        out += "\\\"";
        break;
      case 0x5C:
        out += "\\\\";
        break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out += hexDigits[byte >> 4];
          out += hexDigits[byte & 0x0F];
        } else {
          out += c;
        }
    }
  }
  return out;
}

namespace {

// Six decimals, correctly rounded, '.' as the point. std::to_chars is used
// rather than the stream's own double output: on the Windows runtime that
// output briefly switches the process-wide C locale when the game has set
// one, which would race with the game's own threads.
std::string fixedSixDecimals(double value) {
  char buffer[400];  // enough for any finite double in fixed notation
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 6);
  if (result.ec != std::errc()) return "0.000000";
  return std::string(buffer, result.ptr);
}

}  // namespace

std::string buildReportBody(const std::string& playerName, const ReportSnapshot& snapshot) {
  std::ostringstream body;
  // The game may have installed a global locale with ',' or digit grouping.
  body.imbue(std::locale::classic());
  body << "{\"player_name\":\"" << escapeJsonString(playerName) << "\",\"server_id\":\""
       << escapeJsonString(snapshot.serverId)
       << "\",\"miles_delta\":" << fixedSixDecimals(snapshot.milesDelta)
       << ",\"seconds_delta\":" << snapshot.secondsDelta << ",\"truck\":\""
       << escapeJsonString(snapshot.truckName) << "\",\"trailer\":\""
       << escapeJsonString(snapshot.trailerName) << "\"}";
  return body.str();
}
