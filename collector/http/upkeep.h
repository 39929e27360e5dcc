// The service's chores that no request asks for, on a thread of their own:
// the events that ended longer ago than the retention are pruned at start
// (before the service takes requests) and once an hour, so that the list
// every page reads stays bounded.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "store/store.h"

namespace collector {

class Upkeep {
 public:
  static constexpr std::int64_t everyMs = 3600000;

  Upkeep(EventStore& store, std::int64_t eventRetentionMs);
  ~Upkeep();  // at once: the thread's wait ends
  Upkeep(const Upkeep&) = delete;
  Upkeep& operator=(const Upkeep&) = delete;

 private:
  void run();
  void pruneEvents();

  EventStore& store_;
  const std::int64_t eventRetentionMs_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace collector
