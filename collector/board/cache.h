// The boards, community days and player views the routes serve, computed on a
// few threads of the cache's own and kept in bounded memory, with the answers
// rendered from them.
//
// - A value is computed once for all the requests that want it at the same
//   time. Only a value never computed (or not read for longer than the reuse
//   time) makes its reader wait; one at hand is served while its successor
//   computes. A value read within the reuse time of its computation gets its
//   successor queued when that time is up, so a report shows in every answer
//   within the reuse time plus one computation (its wait for a thread
//   included).
// - Closed UTC days do not change but by a flag review: the community's sums
//   of a closed day, and boards of periods that end before the first open day,
//   are kept until a review touches one of their days. A day is open until
//   `closeAfter` past its end, which covers reports received before midnight
//   and committed after it, and other collectors' clocks. Reviews made by any
//   process are noticed from the store's review mark, read before
//   computations and, while only closed values are read, once a reuse time.
//
// - Room: at most `maxEntries` values and `maxBytes` bytes (estimated from
//   what each holds), split into three shares so that nobody's many periods
//   turn ordinary readers away: the five tabs (their boards, charts and usual
//   pages), player pages, and everything else. Within a share the least
//   recently read value goes first; a value of the last share is kept only in
//   place of values nobody read within the reuse time, otherwise answered and
//   dropped. Each share has its own queue of computations (and of answers to
//   render), taken in that order of priority.
//
// The parts: board/value_cache.h (the values, their states, room and
// threads), board/period_sums.h (closed and open days), board/answers.h
// (rendered answers), board/review_watch.h (reviews noticed).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "board/answers.h"
#include "board/period_sums.h"
#include "board/review_watch.h"
#include "board/value_cache.h"
#include "core/calendar.h"
#include "store/store.h"

namespace collector {

// One player's days and latest reports (its totals come from a board).
struct PlayerActivity {
  bool found = false;
  PlayerView view;
};

// The values one answer is rendered from, as asked for in its ViewRequest.
struct Sources {
  std::shared_ptr<const std::vector<LeaderboardRow>> board;  // whole, ranked
  std::shared_ptr<const std::vector<DayTotals>> days;        // the community's, ascending
  std::shared_ptr<const PlayerActivity> player;
};

struct ViewRequest {
  // Names the answer: what was asked. The same key and stamp rendered from
  // the same values give the same bytes, which are then served again without
  // rendering.
  std::string key;
  // What the answer says besides the values: the versions of what it lists
  // and what the time makes of it (today, an event's state). An answer kept
  // under the key with another stamp is rendered again in its place, so that
  // the cache holds one answer a question, never one a moment.
  std::string stamp;
  Share share = Share::others;  // of the answer; board and days take `tabPeriod`'s
  bool tabPeriod = false;       // board and days are those of one of the five tabs
  std::optional<Period> board;
  std::optional<Period> days;
  std::optional<std::string> player;  // its activity over `playerDays`
  Period playerDays;
};

class BoardCache : private KeptBoards {
 public:
  struct Limits {
    std::chrono::milliseconds reuse{2000};
    std::chrono::milliseconds deadline{3000};  // longest wait in a queue
    std::chrono::milliseconds closeAfter{600000};
    std::size_t threads = 2;
    std::size_t maxPending = 8;   // computations waiting, per share
    std::size_t maxAnswers = 64;  // answers waiting to be rendered, per share
    std::size_t maxEntries = 1024;
    std::size_t maxBytes = std::size_t{256} << 20;
    std::size_t maxDays = 4000;  // closed days' community sums
    // Wall-clock milliseconds (the system clock unless set).
    std::function<std::int64_t()> now;
    // The steady clock of the values' ages and timers (the steady clock unless set).
    std::function<std::chrono::steady_clock::time_point()> steadyNow;
    // Told of every computation, with its time and whether the store answered.
    std::function<void(double seconds, bool ok)> computed;
  };
  using Render = std::function<Rendered(const Sources&)>;
  using Done = Answers::Done;

  BoardCache(BoardStore& store, Limits limits);
  ~BoardCache() override;  // answers busy to the requests still waiting
  BoardCache(const BoardCache&) = delete;
  BoardCache& operator=(const BoardCache&) = delete;

  // Gathers the request's values and hands back its rendered answer, on the
  // caller's thread when all is at hand and rendered already, otherwise on
  // one of the cache's threads. `render` runs on the cache's threads only.
  void view(ViewRequest request, Render render, Done done);

  using Room = ValueCache::Room;
  Room room(Share share) const { return values_.room(share); }
  Room limit(Share share) const { return values_.limit(share); }
  std::size_t closedDays() const { return sums_.closedDays(); }
  // The reviews this cache notices, for other caches of boards to share.
  const std::shared_ptr<ReviewWatch>& reviews() const { return watch_; }
  // Reports were stored with these received times: one that lands on a day
  // this cache may hold as closed (the machine's clock was set back) touches
  // that day, as a review of it would, in every cache that shares the watch.
  void stored(const std::vector<std::int64_t>& receivedMs);

 private:
  enum Kind { board, days, player };
  struct Gather;

  static ValueCache::Limits valueLimits(const Limits& limits);
  ValueCache::Computed compute(const CacheKey& key, Share share);
  bool gather(const std::shared_ptr<Gather>& gather, const CacheKey& key, Share share,
              int& waiting);
  void finish(const std::shared_ptr<Gather>& gather, bool onCacheThread);
  std::shared_ptr<const Rows> keptBoard(const Period& period) override;
  void keepBoard(const Period& period, std::shared_ptr<const Rows> rows, Share share,
                 std::uint64_t generation, const Period* replaced) override;
  void touched(const std::vector<std::int64_t>* receivedMs);
  std::int64_t nowMs() const;

  BoardStore& store_;
  const Limits limits_;
  const std::shared_ptr<ReviewWatch> watch_;
  PeriodSums sums_;
  std::atomic<std::int64_t> firstOpenSeen_{0};  // the latest first open day computed with
  Answers answers_;  // outlives the computing threads, which render too
  ValueCache values_;
  const int watchId_;
};

}  // namespace collector
