#include "announce/retry.h"

#include <date/date.h>

#include <algorithm>
#include <chrono>

namespace collector {

namespace {

std::int64_t heldWithinBounds(std::int64_t ms) {
  return std::min(std::max(ms, minRetryAfterMs), maxRetryAfterMs);
}

// The number of `count` digits at `at`, or -1 when one is not a digit.
int digitsAt(const std::string& text, std::size_t at, std::size_t count) {
  int number = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    number = number * 10 + (text[i] - '0');
  }
  return number;
}

// The index of `text`'s three letters at `at` among `names`, or -1.
template <std::size_t N>
int nameAt(const std::string& text, std::size_t at, const char* const (&names)[N]) {
  for (std::size_t i = 0; i < N; ++i) {
    if (text.compare(at, 3, names[i]) == 0) return static_cast<int>(i);
  }
  return -1;
}

// HTTP's date ("Wed, 21 Oct 2026 07:28:00 GMT", its one current form) as
// milliseconds since the epoch; its weekday must be the date's. Read by
// position: the layout is fixed.
bool httpDate(const std::string& value, std::int64_t& ms) {
  static const char* const weekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::string layout = "Www, DD Mmm YYYY HH:MM:SS GMT";
  if (value.size() != layout.size() || value.compare(3, 2, ", ") != 0 || value[7] != ' ' ||
      value[11] != ' ' || value[16] != ' ' || value[19] != ':' || value[22] != ':' ||
      value.compare(25, 4, " GMT") != 0) {
    return false;
  }
  const int weekday = nameAt(value, 0, weekdays), month = nameAt(value, 8, months);
  const int day = digitsAt(value, 5, 2), year = digitsAt(value, 12, 4);
  const int hours = digitsAt(value, 17, 2), minutes = digitsAt(value, 20, 2),
            seconds = digitsAt(value, 23, 2);
  if (weekday < 0 || month < 0 || day < 0 || year < 0 || hours < 0 || hours > 23 ||
      minutes < 0 || minutes > 59 || seconds < 0 || seconds > 60) {
    return false;
  }
  const date::year_month_day date{date::year{year}, date::month{static_cast<unsigned>(month + 1)},
                                  date::day{static_cast<unsigned>(day)}};
  if (!date.ok() || date::weekday{date::sys_days{date}}.c_encoding() !=
                        static_cast<unsigned>(weekday)) {
    return false;
  }
  const std::int64_t secondOfDay = hours * 3600 + minutes * 60 + std::min(seconds, 59);
  ms = (date::sys_days{date}.time_since_epoch().count() * 86400 + secondOfDay) * 1000;
  return true;
}

// Retry-After in seconds ("1", "2.5", "007").
bool retrySeconds(const std::string& value, std::int64_t& ms) {
  const std::size_t point = value.find('.');
  std::string whole = value.substr(0, point);
  const std::string fraction = point == std::string::npos ? "" : value.substr(point + 1);
  const auto digits = [](const std::string& text) {
    return text.find_first_not_of("0123456789") == std::string::npos;
  };
  if (whole.empty() || !digits(whole) || !digits(fraction) ||
      (point != std::string::npos && fraction.empty())) {
    return false;
  }
  // Zeros in front count for nothing; more than a few digits after them is
  // beyond the cap anyway.
  whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size() - 1));
  if (whole.size() > 7) {
    ms = maxRetryAfterMs;
    return true;
  }
  std::int64_t total = std::stoll(whole) * 1000;
  const std::string thousandths = (fraction + "000").substr(0, 3);
  total += std::stoll(thousandths);
  if (fraction.size() > 3 && fraction.find_first_not_of('0', 3) != std::string::npos) ++total;
  ms = heldWithinBounds(total);
  return true;
}

}  // namespace

bool parseRetryAfter(const std::string& value, std::int64_t nowMs, std::int64_t& ms) {
  std::int64_t atMs = 0;
  if (!httpDate(value, atMs)) return retrySeconds(value, ms);
  ms = heldWithinBounds(atMs - nowMs);
  return true;
}

bool webhookGone(long status) {
  return status == 401 || status == 403 || status == 404 || status == 410;
}

bool nextTry(std::int64_t createdMs, std::int64_t attempts, std::int64_t nowMs, long status,
             std::int64_t retryAfterMs, std::int64_t& nextMs) {
  if (webhookGone(status) && attempts >= goneTries) return false;
  std::int64_t pause = firstPauseMs;
  for (std::int64_t i = 1; i < attempts && pause < longestPauseMs; ++i) pause *= 2;
  pause = std::min(pause, longestPauseMs);
  if (retryAfterMs > 0) pause = retryAfterMs;
  nextMs = nowMs + pause;
  return nextMs <= createdMs + giveUpAfterMs;
}

}  // namespace collector
