#include "core/text.h"

#include <date/date.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace collector {

std::string shortestNumber(double value) {
  char text[32];
  return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

std::string fixedDecimals(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string groupedNumber(double value, int decimals) {
  std::string digits = fixedDecimals(value, decimals);
  const std::size_t sign = digits[0] == '-' ? 1 : 0;
  const std::size_t point = std::min(digits.find('.'), digits.size());
  for (std::size_t at = point; at > sign + 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

std::string isoTime(std::int64_t ms) {
  return date::format(
      "%FT%TZ", date::floor<std::chrono::seconds>(
                    date::sys_time<std::chrono::milliseconds>{std::chrono::milliseconds{ms}}));
}

std::size_t controlCharacterBytes(const std::string& text, std::size_t i) {
  const auto at = [&](std::size_t k) {
    return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0u;
  };
  const unsigned c = at(0);
  if (c < 0x20 || c == 0x7F) return 1;
  if (c == 0xC2 && at(1) >= 0x80 && at(1) <= 0x9F) return 2;  // C1
  if (c == 0xD8 && at(1) == 0x9C) return 2;                   // U+061C
  if (c == 0xE2 && at(1) == 0x80 &&
      (at(2) == 0x8E || at(2) == 0x8F || (at(2) >= 0xAA && at(2) <= 0xAE))) {
    return 3;  // U+200E, U+200F, U+202A-U+202E
  }
  if (c == 0xE2 && at(1) == 0x81 && at(2) >= 0xA6 && at(2) <= 0xA9) return 3;  // U+2066-U+2069
  return 0;
}

std::string terminalSafe(const std::string& text) {
  std::string safe;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (const std::size_t n = controlCharacterBytes(text, i)) {
      safe += "\xEF\xBF\xBD";
      i += n - 1;
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

std::string percentEncode(const std::string& text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string encoded;
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      encoded += static_cast<char>(c);
    } else {
      encoded += {'%', hex[c >> 4], hex[c & 15]};
    }
  }
  return encoded;
}

}  // namespace collector
