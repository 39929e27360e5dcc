// Flag reviews as the caches of boards notice them, made by any process: the
// store's review mark, read now and then; when it moved, the reports reviewed
// since the mark before tell which received times the reviews touched, and
// every cache watching is told. Shared by the leaderboard's cache and the
// events' boards, so that the mark is read once for both.
//
// Thread-safe. A cache's `Touched` is called on the thread that checks, never
// while that thread holds a lock of the cache's (checks run on the caches'
// own threads, outside their locks).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "store/store.h"

namespace collector {

class ReviewWatch {
 public:
  using Clock = std::chrono::steady_clock;
  // The received times of the reports the reviews touched; null when they
  // cannot be told apart (then every value of closed days goes).
  using Touched = std::function<void(const std::vector<std::int64_t>* receivedMs)>;

  explicit ReviewWatch(BoardStore& store);
  ReviewWatch(const ReviewWatch&) = delete;
  ReviewWatch& operator=(const ReviewWatch&) = delete;

  // Tells `touched` of the reviews noticed from now on; the id unwatches.
  int watch(Touched touched);
  void unwatch(int id);  // returns once no check tells it any more

  // Reads the mark unless it was read within `within` (always with zero).
  void check(Clock::duration within);
  // True when the mark was not read within `every` and no check is queued:
  // then the caller queues one, which calls queuedCheck.
  bool claimCheck(Clock::duration every);
  void queuedCheck(bool late);  // reads the mark unless `late`; the claim ends
  // Reports stored with these received times on days the caches may hold as
  // closed: told to every watcher as reviews of them would be.
  void storedLate(const std::vector<std::int64_t>& receivedMs);
  // Counts the reviews noticed: a value of closed days computed from before
  // a count that changed since is not kept. It changes before caches are told.
  std::uint64_t generation() const { return generation_.load(); }

 private:
  BoardStore& store_;
  std::mutex checkMutex_;  // checks take turns; holds watchers_
  std::map<int, Touched> watchers_;
  int nextId_ = 0;
  std::mutex mutex_;  // for the fields below
  bool checked_ = false;
  bool claimed_ = false;
  ReviewMark mark_;
  Clock::time_point checkedAt_;
  std::atomic<std::uint64_t> generation_{0};
};

}  // namespace collector
