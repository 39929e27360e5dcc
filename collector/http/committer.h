// Group commit of reports: requests queue their reports; one committer thread
// stores everything queued so far in one transaction and then hands each its
// outcome. While a commit is under way the next batch gathers. A quiet
// collector commits a report as soon as it comes; a busy one (whose previous
// batch held `busyFrom` reports or more) waits up to `gatherWindow` for
// `gatherTo` reports, since each commit has a cost of its own (the WAL's
// shared pages, the locks, the sync) that a fuller batch shares.
// Thread-safe; every report added gets its callback exactly once, also when
// the store fails and also at destruction (which commits what is still queued
// before it returns).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "core/log_limit.h"
#include "http/health.h"
#include "http/metrics.h"
#include "store/store.h"

namespace collector {

class Committer {
 public:
  // The most reports one transaction stores.
  static constexpr std::size_t maxBatch = 1024;
  // How far the committing thread's nice value is below the process's (down
  // to -20), ahead of the loops and the board threads however the service was
  // started: where readers keep every CPU busy, a thread of their priority
  // waits for a CPU after each commit's sync, and every report that arrives
  // meanwhile waits with it.
  static constexpr int niceAhead = 10;
  // A busy committer's batch: this many reports, or what came within the
  // window.
  static constexpr std::size_t busyFrom = 4;
  static constexpr std::size_t gatherTo = 16;
  static constexpr std::chrono::microseconds defaultGatherWindow{1000};
  // Whether the committer gathers its next batch after one of this size.
  static bool busyAfter(std::size_t batchSize) { return batchSize >= busyFrom; }

  // Called on the committer thread once the report's batch has been committed
  // or has failed; `stored` is false when the store failed (nothing of the
  // batch was stored).
  using Done = std::function<void(bool stored, AddOutcome outcome)>;

  // Called on the committer thread with the received times of each batch
  // stored, before its reports are answered.
  using Stored = std::function<void(const std::vector<std::int64_t>& receivedMs)>;

  // Tells `health` of every commit, failed or not.
  Committer(IntakeStore& store, Metrics& metrics, Health& health,
            std::chrono::microseconds gatherWindow = defaultGatherWindow, Stored stored = {});
  ~Committer();
  Committer(const Committer&) = delete;
  Committer& operator=(const Committer&) = delete;

  void add(IncomingReport report, Done done);

 private:
  struct Waiter {
    IncomingReport report;
    Done done;
  };

  void run();
  void commit(std::vector<Waiter>& batch);

  IntakeStore& store_;
  Metrics& metrics_;
  Health& health_;
  const std::chrono::microseconds gatherWindow_;
  const Stored stored_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Waiter> queue_;
  bool stopping_ = false;
  LogLimiter failures_;  // one line per cause per 10 s
  std::thread thread_;
};

}  // namespace collector
