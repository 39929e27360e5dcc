// Events as the routes serve them: their JSON, and a cache that reads the
// list of events and computes each event's board once for all the requests
// that want it, on a thread of its own, so that an HTTP front never waits
// on the store. The cache is a value cache (board/value_cache.h) as the
// leaderboard's is, and sees reviews through the same watch.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/review_watch.h"
#include "board/value_cache.h"
#include "core/events.h"
#include "store/store.h"

namespace collector {

// {"id", "name", "start", "end", "servers": [ids, all five when none is
// named], "description", "state": "upcoming"|"running"|"ended", "state_text"}.
std::string eventsJson(const std::vector<Event>& events, std::int64_t nowMs);
// {"event": {as above}, "players": [...], "total_players"}, a page of the
// event's board as boardJson gives it.
std::string eventJson(const Event& event, std::int64_t nowMs, const Board& board);

// One event a player drove in, with their line on its board.
struct EventPlace {
  Event event;
  LeaderboardRow row;
};

// The events and their boards. The list, and the board of a running or
// coming event, are values of the reuse time (board/value_cache.h); the
// board of an event that ended more than `closeAfter` ago is kept until a
// review touches one of its reports, and then its readers wait for the board
// computed again. At most `maxPending` computations wait for the thread;
// further readers, and those that waited longer than `deadline`, answer busy.
class EventBoards {
 public:
  struct Limits {
    std::chrono::milliseconds reuse{2000};
    std::chrono::milliseconds deadline{3000};
    std::chrono::milliseconds closeAfter{600000};
    std::size_t maxPending = 64;
    std::size_t maxKept = 256;  // boards held; the least recently read go first
    std::size_t placesOf = 20;  // events looked at for a player's page, the latest first
    // Wall-clock milliseconds (the system clock unless set).
    std::function<std::int64_t()> now;
    // The steady clock of the values' ages (board/value_cache.h), unless set.
    std::function<ValueCache::Clock::time_point()> clock;
    std::function<void(double seconds, bool ok)> computed;
  };
  using ListDone = std::function<void(BoardAnswer, std::shared_ptr<const std::vector<Event>>)>;
  using BoardDone = std::function<void(BoardAnswer, bool found, const Event& event,
                                       std::shared_ptr<const std::vector<LeaderboardRow>> rows)>;
  using PlacesDone = std::function<void(BoardAnswer, const std::vector<EventPlace>& places)>;

  // Reviews are noticed through `reviews` (the leaderboard's, to share one
  // reading of the mark).
  EventBoards(EventStore& store, std::shared_ptr<ReviewWatch> reviews, Limits limits);
  ~EventBoards();  // answers busy to the requests still waiting
  EventBoards(const EventBoards&) = delete;
  EventBoards& operator=(const EventBoards&) = delete;

  // Every event, the latest start first.
  void list(ListDone done);
  // The whole ranked board of event `id`; found is false when the list has
  // no such event (so within the reuse time of its removal).
  void board(std::int64_t id, BoardDone done);
  // The player's lines on the boards of the latest `placesOf` events that
  // have begun, the latest first (only those the player has a line on).
  // On the caller's thread when all is at hand.
  void places(const std::string& player, PlacesDone done);

  std::int64_t nowMs() const;

 private:
  enum Kind { listKind, boardKind };
  struct EventBoard;
  struct Places;

  static ValueCache::Limits valueLimits(const Limits& limits);
  static CacheKey boardKey(const Event& event);
  static Event windowOf(const CacheKey& key);
  void boardFrom(std::int64_t id, const CachedValue& list, const BoardDone& done);
  ValueCache::Computed compute(const CacheKey& key);
  bool computeBoard(const Event& window, ValueCache::Computed& computed, std::string& error);
  void lookForReviews();
  void placesFrom(const std::shared_ptr<Places>& places, const CachedValue& list);
  void touched(const std::vector<std::int64_t>* receivedMs);

  EventStore& store_;
  const Limits limits_;
  const std::shared_ptr<ReviewWatch> watch_;
  ValueCache values_;
  const int watchId_;
};

}  // namespace collector
