// Log lines that stay readable through an outage: at most one line per cause
// per interval; the next line of a cause after its interval says how many
// were held back meanwhile. Thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace collector {

class LogLimiter {
 public:
  // Causes beyond this many share one entry, so the memory stays bounded
  // whatever the texts of the errors.
  static constexpr std::size_t maxCauses = 64;

  explicit LogLimiter(std::int64_t intervalMs = 10000) : intervalMs_(intervalMs) {}

  // The line to write at `nowMs` (with its newline), or "" when it is held back.
  std::string line(const std::string& cause, const std::string& text, std::int64_t nowMs);
  // Writes line(...) at the current time to standard error.
  void write(const std::string& cause, const std::string& text);

 private:
  struct Cause {
    std::int64_t lastMs = 0;
    std::uint64_t heldBack = 0;
  };
  const std::int64_t intervalMs_;
  std::mutex mutex_;
  std::map<std::string, Cause> causes_;
};

}  // namespace collector
