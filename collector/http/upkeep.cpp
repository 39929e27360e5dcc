#include "http/upkeep.h"

#include <chrono>
#include <iostream>

#include "core/clock.h"
#include "core/log_limit.h"
#include "core/text.h"
#include "core/threads.h"

namespace collector {

namespace {

LogLimiter& upkeepFailures() {
  static LogLimiter limiter;
  return limiter;
}

}  // namespace

// The first prune runs here, before the service takes requests, so that the
// first report never finds the store's connection busy with it.
Upkeep::Upkeep(EventStore& store, std::int64_t eventRetentionMs)
    : store_(store), eventRetentionMs_(eventRetentionMs) {
  pruneEvents();
  thread_ = std::thread([this] { run(); });
}

Upkeep::~Upkeep() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void Upkeep::run() {
  nameThisThread("vorn-upkeep");
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, std::chrono::milliseconds(everyMs), [this] { return stopping_; })) {
    lock.unlock();
    pruneEvents();
    lock.lock();
  }
}

void Upkeep::pruneEvents() {
  const std::int64_t before = wallClockMs() - eventRetentionMs_;
  std::int64_t removed = 0;
  std::string error;
  if (!store_.pruneEvents(before, removed, error)) {
    upkeepFailures().write(error, "events: cannot prune the old ones: " + error);
  } else if (removed > 0) {
    std::cerr << "events: " << counted(removed, "event")
              << " that ended before " + isoTime(before) + " pruned (--event-retention-days)\n"
              << std::flush;
  }
}

}  // namespace collector
