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
// - Room: at most `maxEntries` values and `maxBytes` bytes (estimated from
//   what each holds), split into three shares so that nobody's many periods
//   turn ordinary readers away: the five tabs (their boards, charts and usual
//   pages), player pages, and everything else. Within a share the least
//   recently read value goes first; a value of the last share is kept only in
//   place of values nobody read within the reuse time, otherwise answered and
//   dropped. Each share has its own queue of computations (and of answers to
//   render), taken in that order of priority.
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
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "board/period_sums.h"
#include "core/calendar.h"
#include "store/store.h"

namespace collector {

enum class BoardAnswer {
  ok,
  busy,    // not computed in time, or too many waiting (503)
  failed,  // the store failed (503)
};

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

struct Rendered {
  int status = 200;
  std::string contentType;
  std::string body;
  std::string gzipped{};  // the body in gzip for the clients that take it; empty: none
};

struct ViewRequest {
  // Names the answer: the same key rendered from the same values gives the
  // same bytes, which are then served again without rendering.
  std::string key;
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
    // Told of every computation, with its time and whether the store answered.
    std::function<void(double seconds, bool ok)> computed;
  };
  using Render = std::function<Rendered(const Sources&)>;
  using Done = std::function<void(BoardAnswer, std::shared_ptr<const Rendered>)>;

  BoardCache(Store& store, Limits limits);
  ~BoardCache() override;  // answers busy to the requests still waiting
  BoardCache(const BoardCache&) = delete;
  BoardCache& operator=(const BoardCache&) = delete;

  // Gathers the request's values and hands back its rendered answer, on the
  // caller's thread when all is at hand and rendered already, otherwise on
  // one of the cache's threads. `render` runs on the cache's threads only.
  void view(ViewRequest request, Render render, Done done);

  struct Room {
    std::size_t entries = 0;
    std::size_t bytes = 0;
  };
  Room room(Share share) const;
  Room limit(Share share) const;
  std::size_t closedDays() const;

 private:
  using Clock = std::chrono::steady_clock;
  enum class Kind { board, days, player, answer };
  struct Key {
    Kind kind;
    std::int64_t fromMs = 0;
    std::int64_t untilMs = 0;
    std::string name;  // of the player, or the answer's key
    bool operator<(const Key& other) const {
      return std::tie(kind, fromMs, untilMs, name) <
             std::tie(other.kind, other.fromMs, other.untilMs, other.name);
    }
  };
  struct Value {
    std::shared_ptr<const void> data;
    std::uint64_t version = 0;
  };
  using Waiter = std::function<void(BoardAnswer, const Value&)>;
  struct Entry {
    Share share = Share::others;
    Value value;
    std::size_t bytes = 0;
    std::array<std::uint64_t, 3> sources{};  // of an answer: the versions it was rendered from
    Clock::time_point startedAt;             // of the computation that gave `value`
    Clock::time_point readAt;
    bool closed = false;  // of closed days only: kept until a review touches them
    bool stale = false;   // a review touched it: served while its successor computes
    bool queued = false;  // a computation is queued or under way
    bool onTime = false;  // that one was queued on time: `value` is served meanwhile
    bool hot = false;     // read since its computation began: successor on time
    bool listed = false;  // counted in its share, at `lru`
    std::list<Key>::iterator lru;
    std::vector<Waiter> waiters;
  };
  struct Pool {
    std::list<Key> lru;  // most recently read first
    Room room;
  };
  struct Job {
    Key key;
    Clock::time_point queuedAt;
    std::function<void(bool late)> task;  // else compute `key`
  };
  struct Gather;

  // Looks `key` up for a reader: true with `value` when at hand, else false
  // with the waiter queued behind its computation (or answered busy).
  bool get(const Key& key, Share share, Value& value, Waiter waiter, Clock::time_point now,
           bool& busy);
  bool queueComputation(const Key& key, Entry& entry, Clock::time_point now, bool onTime);
  void finish(const std::shared_ptr<Gather>& gather, bool onCacheThread);
  void keep(const Key& key, Entry& entry, std::size_t bytes);
  bool makeRoom(Share share, const Key& self, std::size_t bytes, Clock::time_point now);
  void drop(const Key& key);
  void compute(const Job& job);
  std::shared_ptr<const Rows> keptBoard(const Period& period) override;
  void keepBoard(const Period& period, std::shared_ptr<const Rows> rows, Share share,
                 std::uint64_t generation, const Period* replaced) override;
  void checkReviews(bool always);
  void invalidate(const std::vector<std::int64_t>* days);
  void work();
  void answer();
  std::int64_t nowMs() const;
  static std::size_t sharesOf(Kind kind);

  Store& store_;
  const Limits limits_;
  mutable std::mutex mutex_;
  std::condition_variable pending_;         // for computations_ and timers_
  std::condition_variable answersPending_;  // for answers_
  std::map<Key, Entry> entries_;
  std::array<Pool, 3> pools_;
  std::array<std::deque<Job>, 3> computations_;
  std::array<std::deque<Job>, 3> answers_;
  struct Rendering {
    std::array<std::uint64_t, 3> sources{};
    std::vector<Done> waiters;  // besides the reader that began it
  };
  std::map<Key, Rendering> rendering_;            // answers under way, by key
  std::multimap<Clock::time_point, Key> timers_;  // successors of hot values
  std::uint64_t generation_ = 0;                  // reviews noticed
  std::uint64_t nextVersion_ = 1;
  bool stopping_ = false;
  // The review mark last read, and when; checks take turns.
  std::mutex checkMutex_;
  bool checked_ = false;
  bool checkQueued_ = false;
  ReviewMark mark_;
  Clock::time_point checkedAt_;
  PeriodSums sums_;
  std::vector<std::thread> threads_;
};

}  // namespace collector
