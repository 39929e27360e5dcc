#include "http/rate_limit.h"

#include <algorithm>
#include <iterator>

namespace collector {

namespace {

// Every this many calls, keys whose reports have all left the window go.
constexpr std::uint64_t sweepEvery = 4096;

}  // namespace

RateLimit::RateLimit(int perMinute) : perMinute_(static_cast<std::size_t>(perMinute)) {}

std::int64_t RateLimit::take(const std::string& keyHash, std::int64_t nowMs) {
  if (perMinute_ == 0) return 0;
  std::lock_guard<std::mutex> lock(mutex_);
  if (++calls_ % sweepEvery == 0) {
    for (auto it = taken_.begin(); it != taken_.end();) {
      expire(it->second, nowMs);
      it = it->second.empty() ? taken_.erase(it) : std::next(it);
    }
  }
  std::deque<std::int64_t>& times = taken_[keyHash];
  expire(times, nowMs);
  if (times.size() >= perMinute_) return (times.front() + windowMs - nowMs + 999) / 1000;
  times.push_back(nowMs);
  return 0;
}

void RateLimit::giveBack(const std::string& keyHash, std::int64_t atMs) {
  if (perMinute_ == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = taken_.find(keyHash);
  if (found == taken_.end()) return;
  auto& times = found->second;
  auto at = std::find(times.begin(), times.end(), atMs);
  if (at != times.end()) times.erase(at);
  if (times.empty()) taken_.erase(found);
}

void RateLimit::expire(std::deque<std::int64_t>& times, std::int64_t nowMs) {
  while (!times.empty() && times.front() <= nowMs - windowMs) times.pop_front();
}

}  // namespace collector
