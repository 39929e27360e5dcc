#include "core/text.h"

#include <date/date.h>

#include <charconv>
#include <chrono>
#include <cstring>

namespace collector {

std::string shortestNumber(double value) {
  char text[32];
  return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

std::string isoTime(std::int64_t ms) {
  return date::format(
      "%FT%TZ", date::floor<std::chrono::seconds>(
                    date::sys_time<std::chrono::milliseconds>{std::chrono::milliseconds{ms}}));
}

std::string terminalSafe(const std::string& text) {
  std::string safe;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const bool c1 = c == 0xC2 && i + 1 < text.size() &&
                    static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (c < 0x20 || c == 0x7F || c1) {
      safe += "\xEF\xBF\xBD";
      i += c1 ? 1 : 0;
    } else {
      safe += text[i];
    }
  }
  return safe;
}

std::string csvField(const std::string& text) {
  const bool formula = !text.empty() && text[0] != '\0' && std::strchr("=+-@\t\r", text[0]);
  const std::string cell = (formula ? "'" : "") + terminalSafe(text);
  if (cell.find_first_of(",\"") == std::string::npos) return cell;
  std::string quoted = "\"";
  for (char c : cell) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::string counted(std::int64_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string escapedBytes(const std::string& bytes) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '\\') {
      out += "\\\\";
    } else if (byte >= 0x20 && byte < 0x7F) {
      out += c;
    } else {
      out += {'\\', 'x', hex[byte >> 4], hex[byte & 15]};
    }
  }
  return out;
}

}  // namespace collector
