#include "core/log_limit.h"

#include <chrono>
#include <iostream>

#include "core/clock.h"

namespace collector {

std::string LogLimiter::line(const std::string& cause, const std::string& text,
                             std::int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  static const std::string other = "(other causes)";
  const bool room = causes_.count(cause) != 0 || causes_.size() < maxCauses;
  auto [at, added] = causes_.try_emplace(room ? cause : other);
  Cause& entry = at->second;
  if (!added && nowMs - entry.lastMs < intervalMs_) {
    ++entry.heldBack;
    return "";
  }
  std::string out = text;
  if (entry.heldBack > 0) {
    out += " (" + std::to_string(entry.heldBack) + " more like it in the last " +
           std::to_string((nowMs - entry.lastMs) / 1000) + " s held back)";
  }
  entry = Cause{nowMs, 0};
  return out + "\n";
}

void LogLimiter::write(const std::string& cause, const std::string& text) {
  const std::string out = line(cause, text, steadyClockMs());
  if (!out.empty()) std::cerr << out << std::flush;
}

}  // namespace collector
