// board/, between the store and the pages: reads the store only through
// store/store.h. The cache is thread-safe and owns its threads, joined when
// it is destroyed; every callback runs exactly once, on the cache's threads,
// with `failed` when the store failed and `busy` when too much waits or
// the cache goes, never with an exception.
//
// The leaderboard as the routes serve it, whatever the HTTP library: the
// query's parameters, the JSON, and a cache that computes the board of a
// period once for all the requests that want it at the same time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "core/calendar.h"
#include "store/store.h"

namespace collector {

// Reads one query parameter: true, with `value` set, when the request has it.
using ParamReader = std::function<bool(const std::string& name, std::string& value)>;

// The period of ?since=&until= (calendar.h) and ?limit= (1..1000, default
// 100), ?offset= (0 or more) and ?player=NAME. False with a reason for a 400
// when malformed.
bool parseBoardQuery(const ParamReader& param, std::int64_t today, BoardQuery& query,
                     PeriodChoice& period, std::string& error);

// {"players":[{... "rank"}], "total_players"}, one line.
std::string boardJson(const Board& board);
// The player's row as on the board, with "days" and "last_reports", one line.
std::string playerJson(const std::string& name, const PlayerView& view);

enum class BoardAnswer {
  ok,
  busy,    // not computed in time, or too many boards waiting (503)
  failed,  // the store failed (503)
};

// Boards of periods, each computed once for concurrent requests on a few
// threads of its own and reused for up to `reuse`. A board older than half of
// that is computed again in the background while it is still served, so that
// under steady reading no request waits for a computation. At most
// `maxPending` computations wait for a thread; a request that would need
// another answers busy at once, and so do the requests of a computation that
// waited longer than `deadline` for its thread. Answers come through a
// callback on one of those threads, or from a board at hand on one more
// thread of its own (at most `maxAnswers` waiting), so that readers use no
// more CPU than those threads whatever their number, an answer never waits
// behind a computation, and an HTTP front never blocks on a board. The
// waiting forms below must not be called from such a callback.
class BoardCache {
 public:
  struct Limits {
    std::chrono::milliseconds reuse{2000};
    std::chrono::milliseconds deadline{3000};
    std::size_t maxPending = 8;
    std::size_t threads = 2;
    std::size_t maxAnswers = 1024;
    // Told of every computation, with its time and whether the store answered.
    std::function<void(double seconds, bool ok)> computed;
  };
  using BoardDone = std::function<void(BoardAnswer answer, const Board& board)>;
  using DaysDone = std::function<void(BoardAnswer answer, const std::vector<DayTotals>& days)>;
  using PlayerDone = std::function<void(BoardAnswer answer, bool found, const PlayerView& view)>;

  explicit BoardCache(Store& store) : BoardCache(store, Limits()) {}
  BoardCache(Store& store, Limits limits);
  ~BoardCache();  // answers busy to the requests still waiting
  BoardCache(const BoardCache&) = delete;
  BoardCache& operator=(const BoardCache&) = delete;

  // One page of the board of query.period, or one player's row of it.
  void board(const BoardQuery& query, BoardDone done);
  // The community's days of a period (Store::communityDays).
  void communityDays(const Period& period, DaysDone done);
  // One player's view (Store::player): its row and rank from the board of
  // `period` as above, its days and latest reports read on the cache's
  // threads. `found` is false when there is no such player (a 404).
  void player(const std::string& name, const Period& period, const Period& daysPeriod,
              PlayerDone done);
  // The same, waiting for the answer.
  BoardAnswer board(const BoardQuery& query, Board& board);
  BoardAnswer communityDays(const Period& period, std::vector<DayTotals>& days);

 private:
  using Clock = std::chrono::steady_clock;
  struct Key {
    bool days;  // communityDays, else the board
    std::int64_t fromMs;
    std::int64_t untilMs;
    bool operator<(const Key& other) const {
      return std::tie(days, fromMs, untilMs) < std::tie(other.days, other.fromMs, other.untilMs);
    }
  };
  struct Computed {
    std::shared_ptr<const std::vector<LeaderboardRow>> rows;
    std::shared_ptr<const std::vector<DayTotals>> days;
  };
  using Waiter = std::function<void(BoardAnswer, const Computed&)>;
  struct Entry {
    Computed computed;
    Clock::time_point computedAt;
    bool computing = false;
    std::vector<Waiter> waiters;  // for the computation under way
  };

  // A computation of `key`, or else `task` (told whether it waited too long).
  struct Job {
    Key key;
    Clock::time_point queuedAt;
    std::function<void(bool late)> task;
  };

  void fresh(const Key& key, Waiter waiter);
  // Queues a task for the threads; false when too many wait already.
  bool enqueue(std::function<void(bool late)> task);
  void work(std::deque<Job>& jobs, std::condition_variable& pending);

  Store& store_;
  const Limits limits_;
  std::mutex mutex_;
  std::condition_variable pending_;         // for queue_
  std::condition_variable answersPending_;  // for answers_
  std::map<Key, Entry> entries_;
  std::deque<Job> queue_;    // computations and player views, on `threads` threads
  std::deque<Job> answers_;  // from boards at hand, on one thread of their own
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace collector
