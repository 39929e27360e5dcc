// A cache of computed values that serves a value while its successor
// computes: the values' states, the shares of room and their LRU lists, the
// timers of successors, and the threads that compute. What a value is and
// how it is computed is its owner's (board/cache.h, board/events.h).
//
// - A value is computed once for all the readers that want it at the same
//   time. Only a value never computed (or not read for longer than the reuse
//   time) makes its reader wait; one at hand is served while its successor
//   computes, but never once it is older than the reuse time plus twice the
//   deadline (a wait in the queue and a computation): its readers then wait
//   for the successor. A value read within the reuse time of its computation
//   gets its successor queued when that time is up.
// - A value of closed days is kept until a review touches it; then it is
//   served while its successor computes (or, with `touchedWaits`, its readers
//   wait for that one).
// - Room: each share has its own room in entries and bytes; within a share
//   the least recently read value goes first. A value of `Share::others` is
//   kept only in place of values nobody read within the reuse time, otherwise
//   answered and dropped. Each share has its own queue of computations, taken
//   in the order of the shares.
//
// Thread-safe. Waiters are called exactly once, never under the cache's lock:
// `ok` with the value, `failed` when the computation failed, `busy` when it
// waited past the deadline or the cache goes.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace collector {

enum class BoardAnswer {
  ok,
  busy,    // not computed in time, or too many waiting (503)
  failed,  // the store failed (503)
};

enum class Share { tabs, players, others };

// A gather's count of the values it waits for before it knows how many: each
// value computed meanwhile counts down from it, and the gather takes off what
// it did not wait for once it knows.
inline constexpr int allAsked = 1 << 20;

struct CacheKey {
  int kind = 0;  // the owner's
  std::int64_t fromMs = 0;
  std::int64_t untilMs = 0;
  std::string name;
  bool operator<(const CacheKey& other) const {
    return std::tie(kind, fromMs, untilMs, name) <
           std::tie(other.kind, other.fromMs, other.untilMs, other.name);
  }
};

struct CachedValue {
  std::shared_ptr<const void> data;
  std::uint64_t version = 0;  // a new one for each computation
};

// Work queued per share on a cache's threads, taken in the order of the
// shares; `late` when it waited past the deadline, or the cache goes.
struct ShareJob {
  std::chrono::steady_clock::time_point queuedAt;
  std::function<void(bool late)> task;
};
using ShareQueues = std::array<std::deque<ShareJob>, 3>;
// Runs the first job of the first share that has one, with `lock` released
// meanwhile: a job that waited past `deadline` runs late. False when none waits.
bool runNextJob(ShareQueues& queues, std::unique_lock<std::mutex>& lock,
                std::chrono::milliseconds deadline);
// Runs every job still queued, late.
void runLate(ShareQueues& queues);

class ValueCache {
 public:
  using Clock = std::chrono::steady_clock;
  struct Room {
    std::size_t entries = 0;
    std::size_t bytes = 0;
  };
  struct Limits {
    std::chrono::milliseconds reuse{2000};
    std::chrono::milliseconds deadline{3000};  // longest wait in a queue
    std::size_t threads = 2;
    std::size_t maxPending = 8;  // computations waiting, per share
    std::array<Room, 3> rooms{};
    bool touchedWaits = false;  // readers of a value a review touched wait for its successor
    const char* threadName = "vorn-board";
    // The steady clock of ages and timers, unless set (deadlines are always
    // the steady clock's).
    std::function<Clock::time_point()> clock;
  };
  // What a computation gave.
  struct Computed {
    std::shared_ptr<const void> data;  // null: it failed
    std::size_t bytes = 0;             // what `data` holds
    bool closed = false;               // of closed days: kept until a review touches it
    std::uint64_t generation = 0;      // the reviews noticed before it began
  };
  using Compute = std::function<Computed(const CacheKey& key, Share share)>;
  using Waiter = std::function<void(BoardAnswer, const CachedValue&)>;

  // `generation` counts the reviews noticed so far (board/review_watch.h).
  ValueCache(Limits limits, Compute compute, std::function<std::uint64_t()> generation);
  ~ValueCache();  // answers busy to the waiters and tasks still waiting
  ValueCache(const ValueCache&) = delete;
  ValueCache& operator=(const ValueCache&) = delete;

  enum class Lookup { atHand, waiting, busy };
  // A reader's look-up: at hand with `value` set, else `waiter` is called
  // once the computation it waits for ends, or nothing waits (busy: too many
  // computations queued).
  Lookup get(const CacheKey& key, Share share, CachedValue& value, Waiter waiter);
  // Runs `task` on a computing thread before any computation queued (`late`:
  // it waited past the deadline, or the cache goes). False when the cache goes.
  bool runFirst(std::function<void(bool late)> task);

  // A value made elsewhere (a rendered answer, a board of closed days), kept
  // when there is room, unless the key has readers waiting, a computation
  // under way or another share, or (of closed days) a review was noticed
  // after `generation`. True when kept.
  bool put(const CacheKey& key, Share share, std::shared_ptr<const void> data, std::size_t bytes,
           bool closed, std::uint64_t generation);
  // The value of `key` when one is at hand (of closed days and untouched
  // only, with `keptOnly`); it counts as read.
  std::shared_ptr<const void> read(
      const CacheKey& key, bool keptOnly,
      const std::function<bool(const std::shared_ptr<const void>&)>& accept = nullptr);
  // Drops the value of `key` unless readers wait for it.
  void drop(const CacheKey& key);
  // Reviews touched the values for which `touched` is true.
  void touch(const std::function<bool(const CacheKey&, const void* data)>& touched);

  Room room(Share share) const;
  Room limit(Share share) const { return limits_.rooms[static_cast<std::size_t>(share)]; }

 private:
  enum class State {
    none,        // no value, nothing computing: a new entry
    computing,   // no value yet: its readers wait for the computation
    timed,       // served within the reuse time of its computation
    due,         // read while fresh: its successor is queued when the reuse time is up
    refreshing,  // its successor computes, queued on time: this value is served meanwhile
    expired,     // its successor computes, and its readers wait for it
    kept,        // of closed days: served until a review touches it
  };
  struct Entry {
    Share share = Share::others;
    State state = State::none;
    // A review touched it: it is served while its successor computes, however old.
    bool touched = false;
    CachedValue value;
    std::size_t bytes = 0;
    Clock::time_point startedAt;  // of the computation that gave `value`
    Clock::time_point readAt;
    std::list<CacheKey>::iterator lru;  // in its share's list while it holds a value
    std::vector<Waiter> waiters;
  };
  struct Pool {
    std::list<CacheKey> lru;  // most recently read first
    Room room;
  };
  Clock::time_point now() const { return limits_.clock ? limits_.clock() : Clock::now(); }
  bool serve(const CacheKey& key, Entry& entry, Clock::time_point now);
  bool queueComputation(const CacheKey& key, Entry& entry, bool onTime);
  static bool computing(const Entry& entry) {
    return entry.state == State::computing || entry.state == State::refreshing ||
           entry.state == State::expired;
  }
  void markRead(Entry& entry, Clock::time_point now);
  // Holds `value` in `entry` when its share has room, else answered, not kept.
  bool keep(const CacheKey& key, Entry& entry, CachedValue value, std::size_t bytes);
  void unlist(Entry& entry);
  void erase(const CacheKey& key);
  bool makeRoom(Share share, const CacheKey& self, std::size_t bytes, Clock::time_point now);
  void startTimers(Clock::time_point now);
  void work();
  void compute(const CacheKey& key, bool late);
  void settle(const CacheKey& key, const Computed& computed, Clock::time_point started,
              std::vector<Waiter>& waiters, CachedValue& value);

  const Limits limits_;
  const Compute compute_;
  const std::function<std::uint64_t()> generation_;
  mutable std::mutex mutex_;
  std::condition_variable pending_;  // for computations_ and timers_
  std::map<CacheKey, Entry> entries_;
  std::array<Pool, 3> pools_;
  ShareQueues computations_;
  std::multimap<Clock::time_point, CacheKey> timers_;  // successors of values read while fresh
  std::uint64_t nextVersion_ = 1;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace collector
