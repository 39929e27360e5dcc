// Events as the routes serve them: their JSON, and a cache that reads the
// list of events and computes each event's board once for all the requests
// that want it, on a thread of its own, so that an HTTP front never waits
// on the store.
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
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "board/board.h"
#include "board/cache.h"
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

// The events and their boards. The list is read again after `reuse`; a
// running or coming event's board is computed again after `reuse`; the board
// of an event that ended more than `closeAfter` ago is kept until a review
// touches one of its reports (the store's reviewedSince, asked once a `reuse`
// at most). A
// value older than `reuse` but younger than twice that is served while its
// successor computes. At most `maxPending` requests wait for the thread;
// further ones, and those that waited longer than `deadline`, answer busy.
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
    std::function<void(double seconds, bool ok)> computed;
  };
  using ListDone = std::function<void(BoardAnswer, std::shared_ptr<const std::vector<Event>>)>;
  using BoardDone = std::function<void(BoardAnswer, bool found, const Event& event,
                                       std::shared_ptr<const std::vector<LeaderboardRow>> rows)>;
  using PlacesDone = std::function<void(BoardAnswer, const std::vector<EventPlace>& places)>;

  EventBoards(Store& store, Limits limits);
  ~EventBoards();  // answers busy to the requests still waiting
  EventBoards(const EventBoards&) = delete;
  EventBoards& operator=(const EventBoards&) = delete;

  // Every event, the latest start first.
  void list(ListDone done);
  // The whole ranked board of event `id`; found is false when there is none.
  void board(std::int64_t id, BoardDone done);
  // The player's lines on the boards of the latest `placesOf` events that
  // have begun, the latest first (only those the player has a line on).
  void places(const std::string& player, PlacesDone done);

  std::int64_t nowMs() const;

 private:
  using Clock = std::chrono::steady_clock;
  struct Value {
    std::shared_ptr<const std::vector<Event>> events;  // of the list
    bool found = false;                                // of a board:
    Event event;
    std::shared_ptr<const std::vector<LeaderboardRow>> rows;
    // The index in `rows` of each player's line, kept with them: a player's
    // page looks itself up on the latest boards at every read.
    std::shared_ptr<const std::unordered_map<std::string_view, std::size_t>> rowOf;
    bool kept = false;  // of an event that ended: kept until a review touches it
  };
  struct Entry {
    Value value;
    bool held = false;
    Clock::time_point computedAt;
    Clock::time_point readAt;
    std::int64_t checkedMs = 0;  // of a kept board: reviews before this were looked at
    Clock::time_point checkedAt;
  };
  struct Job {
    Clock::time_point queuedAt;
    std::function<void(bool late)> task;
  };

  // The value of `key` (0: the list; else an event's board), on the thread.
  bool get(std::int64_t key, Value& value);
  // The value at hand for a reader, if any is fresh enough; queues a refresh.
  bool atHand(std::int64_t key, Value& value);
  // The player's places from the values `fetch` gives; false when one fails.
  bool placesFrom(const std::string& player, const std::function<bool(std::int64_t, Value&)>& fetch,
                  std::vector<EventPlace>& places);
  bool enqueue(std::function<void(bool late)> task);
  void work();

  Store& store_;
  const Limits limits_;
  std::mutex mutex_;
  std::condition_variable pending_;
  std::map<std::int64_t, Entry> entries_;
  std::deque<Job> queue_;
  bool refreshing_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace collector
