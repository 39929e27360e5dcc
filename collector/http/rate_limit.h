// Reports per key within the last minute: the times of those taken (a report
// whose key turns out unknown or whose store failed is given back, so only
// players' keys stay here, and a failure never costs a player its quota).
// Thread-safe; memory is bounded by the keys seen within the last minute.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

namespace collector {

class RateLimit {
 public:
  // The window the rate counts in: a report taken at T counts until T + window.
  static constexpr std::int64_t windowMs = 60000;

  explicit RateLimit(int perMinute);  // 0: no limit

  // 0 when the report may go on (and is counted), else the seconds until it may.
  std::int64_t take(const std::string& keyHash, std::int64_t nowMs);

  // Forgets the report taken at `atMs`, so that it does not count.
  void giveBack(const std::string& keyHash, std::int64_t atMs);

 private:
  static void expire(std::deque<std::int64_t>& times, std::int64_t nowMs);

  std::size_t perMinute_;
  std::mutex mutex_;
  std::uint64_t calls_ = 0;
  std::unordered_map<std::string, std::deque<std::int64_t>> taken_;
};

}  // namespace collector
