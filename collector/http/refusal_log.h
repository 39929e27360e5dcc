// The refused-report log. Thread-safe; its memory is bounded by maxTracked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace collector {

// Lines on standard error about refused reports, at most one a minute for
// the same reason from the same key (or address, when no key came), so that
// a misconfigured plug-in or an attacker cannot flood the log. The key itself
// is never written; callers pass its hash only to tell keys apart.
class RefusalLog {
 public:
  explicit RefusalLog(std::size_t maxTracked = 100000) : maxTracked_(maxTracked) {}
  // The line written, or "" when it was held back. A report posted to
  // another path than the report route names that path (`postedTo`, at most
  // maxShownPathBytes of it, quoted); the path is not part of the reason, so
  // a sender trying many paths still writes one line a minute.
  std::string refused(std::int64_t nowMs, int status, const std::string& reason,
                      const std::string& playerName, const std::string& keyHash,
                      const std::string& address, const std::string& postedTo = "");

  static constexpr std::size_t maxShownPathBytes = 128;

 private:
  // Whether a line for `slot` may be written at `nowMs`; records it if so.
  bool mayWrite(const std::string& slot, std::int64_t nowMs);

  std::mutex mutex_;
  std::map<std::string, std::int64_t> lastMs_;  // by who and reason
  std::size_t maxTracked_;
  std::int64_t prunedMs_ = 0;  // forgetting old entries is tried at most once a second
};

}  // namespace collector
