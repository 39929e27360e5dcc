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

#include "calendar.h"
#include "store.h"

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
// under steady reading no request waits for a computation. A request waits at
// most `deadline` for one; at most `maxPending` computations wait for a thread,
// and a request that would need another answers busy.
class BoardCache {
 public:
  struct Limits {
    std::chrono::milliseconds reuse{2000};
    std::chrono::milliseconds deadline{3000};
    std::size_t maxPending = 8;
    std::size_t threads = 2;
  };

  explicit BoardCache(Store& store) : BoardCache(store, Limits()) {}
  BoardCache(Store& store, Limits limits);
  ~BoardCache();
  BoardCache(const BoardCache&) = delete;
  BoardCache& operator=(const BoardCache&) = delete;

  // One page of the board of query.period, or one player's row of it.
  BoardAnswer board(const BoardQuery& query, Board& board);
  // The community's days of a period (Store::communityDays).
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
  struct Entry {
    std::shared_ptr<const std::vector<LeaderboardRow>> rows;
    std::shared_ptr<const std::vector<DayTotals>> days;
    Clock::time_point computedAt;
    bool computing = false;
    int waiters = 0;         // requests waiting for the computation
    bool failed = false;     // the latest computation failed
    std::uint64_t runs = 0;  // computations finished
  };

  // Waits for a fresh entry of `key`; ok with `entry` a copy of it.
  BoardAnswer fresh(const Key& key, Entry& entry);
  void work();

  Store& store_;
  const Limits limits_;
  std::mutex mutex_;
  std::condition_variable pending_;   // workers wait for keys
  std::condition_variable computed_;  // requests wait for entries
  std::map<Key, Entry> entries_;
  std::deque<Key> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace collector
