#include "announce/retry.h"

#include <date/date.h>

#include <algorithm>
#include <chrono>
#include <sstream>

namespace collector {

namespace {

std::int64_t heldWithinBounds(std::int64_t ms) {
  return std::min(std::max(ms, minRetryAfterMs), maxRetryAfterMs);
}

// HTTP's date ("Wed, 21 Oct 2026 07:28:00 GMT", its one current form) as
// milliseconds since the epoch.
bool httpDate(const std::string& value, std::int64_t& ms) {
  if (value.size() != std::string("Wed, 21 Oct 2026 07:28:00 GMT").size()) return false;
  std::istringstream in(value);
  date::sys_seconds at;
  in >> date::parse("%a, %d %b %Y %H:%M:%S GMT", at);
  if (in.fail()) return false;
  ms = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
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
