#include "core/numbers.h"

#include <charconv>
#include <limits>

#include "core/text.h"

namespace collector {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Digits, then (when points are allowed) at most one point with digits after it.
bool plainDecimal(const std::string& text, bool whole) {
  std::size_t at = 0;
  while (at < text.size() && isDigit(text[at])) ++at;
  if (at == 0) return false;
  if (at == text.size()) return true;
  if (whole || text[at] != '.' || at + 1 == text.size()) return false;
  for (++at; at < text.size(); ++at) {
    if (!isDigit(text[at])) return false;
  }
  return true;
}

std::string rangeText(const std::string& low, const std::string& high) {
  return "(" + low + " to " + high + ")";
}

std::string wantsText(bool whole, const std::string& low, const std::string& high,
                      const std::string& text) {
  return std::string("wants ") + (whole ? "a whole number" : "a decimal number") + " from " + low +
         " to " + high + ", got '" + terminalSafe(text) + "'";
}

}  // namespace

std::string plainNumber(double value) {
  char text[400];
  return std::string(text,
                     std::to_chars(text, text + sizeof text, value, std::chars_format::fixed).ptr);
}

std::string numberProblem(const std::string& text, const NumberRange& range, double& value) {
  const std::string low = plainNumber(range.min);
  const std::string high = plainNumber(range.max);
  if (!plainDecimal(text, range.whole)) return wantsText(range.whole, low, high, text);
  if (std::from_chars(text.data(), text.data() + text.size(), value).ec != std::errc()) {
    value = std::numeric_limits<double>::infinity();  // more digits than a double holds
  }
  if (!(value >= range.min && value <= range.max)) {
    return terminalSafe(text) + " is out of range " + rangeText(low, high);
  }
  return "";
}

std::string wholeProblem(const std::string& text, std::int64_t min, std::int64_t max,
                         std::int64_t& value) {
  const std::string low = std::to_string(min);
  const std::string high = std::to_string(max);
  if (!plainDecimal(text, true)) return wantsText(true, low, high, text);
  std::uint64_t read = 0;
  bool over = false;
  for (const char c : text) {
    const auto digit = static_cast<std::uint64_t>(c - '0');
    over = over || read > (std::numeric_limits<std::uint64_t>::max() - digit) / 10;
    if (!over) read = read * 10 + digit;
  }
  if (over || read > static_cast<std::uint64_t>(max) || static_cast<std::int64_t>(read) < min) {
    return terminalSafe(text) + " is out of range " + rangeText(low, high);
  }
  value = static_cast<std::int64_t>(read);
  return "";
}

}  // namespace collector
