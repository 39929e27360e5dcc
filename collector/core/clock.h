// The two clocks the collector reads: the wall clock that stamps reports,
// reviews and days, and the steady clock for intervals, which never runs
// backwards. Code that decides by time takes the time as an argument (or a
// clock function), so that its tests can set it.
#pragma once

#include <chrono>
#include <cstdint>

namespace collector {

// Milliseconds since the Unix epoch, UTC.
inline std::int64_t wallClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Milliseconds of the steady clock, for intervals only.
inline std::int64_t steadyClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace collector
