#include "announce/retry.h"

#include <algorithm>

namespace collector {

bool parseRetryAfter(const std::string& value, std::int64_t& ms) {
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
  ms = std::min(std::max(total, minRetryAfterMs), maxRetryAfterMs);
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
