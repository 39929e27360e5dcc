#include "board/events.h"

#include <algorithm>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string_view>
#include <unordered_map>

#include "board/bytes.h"
#include "core/clock.h"
#include "core/log_limit.h"
#include "core/text.h"
#include "vorn_deployment.h"

namespace collector {

namespace {

// The event reads' failures, one line per cause per 10 s in an outage.
LogLimiter& readFailures() {
  static LogLimiter limiter;
  return limiter;
}

const char* stateName(EventState state) {
  switch (state) {
    case EventState::upcoming:
      return "upcoming";
    case EventState::running:
      return "running";
    case EventState::ended:
      break;
  }
  return "ended";
}

nlohmann::json eventObject(const Event& event, std::int64_t nowMs) {
  nlohmann::json servers = nlohmann::json::array();
  if (event.servers.empty()) {
    for (const char* id : deployment::knownServerIds) servers.push_back(id);
  }
  for (const std::string& id : event.servers) servers.push_back(id);
  return {{"id", event.id},
          {"name", event.name},
          {"start", isoTime(event.startMs)},
          {"end", isoTime(event.endMs)},
          {"servers", servers},
          {"description", event.description},
          {"state", stateName(eventState(event, nowMs))},
          {"state_text", eventStateText(event, nowMs)}};
}

std::string dump(const nlohmann::json& json) {
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

const CacheKey listKey{0, 0, 0, {}};  // of EventBoards' kind listKind

}  // namespace

std::string eventsJson(const std::vector<Event>& events, std::int64_t nowMs) {
  nlohmann::json list = nlohmann::json::array();
  for (const Event& event : events) list.push_back(eventObject(event, nowMs));
  return dump({{"events", list}}) + "\n";
}

std::string eventJson(const Event& event, std::int64_t nowMs, const Board& board) {
  // boardJson's object with "event" in front of its members.
  return "{\"event\":" + dump(eventObject(event, nowMs)) + "," + boardJson(board).substr(1);
}

// An event's board as kept: the window it was read for, the rows and, so
// that a player's page looks itself up on the latest boards at every read,
// the index of each player's line (its keys are the rows' names).
struct EventBoards::EventBoard {
  Event window;  // the id, start, end and servers of the event
  std::vector<LeaderboardRow> rows;
  std::unordered_map<std::string_view, std::size_t> rowOf;
};

// One player's page's places as the boards come in.
struct EventBoards::Places {
  std::string player;
  PlacesDone done;
  std::mutex mutex;  // for the fields below
  int remaining = allAsked;
  bool abandoned = false;
  BoardAnswer worst = BoardAnswer::ok;
  std::vector<Event> events;  // as the list has them, the latest first
  std::vector<std::shared_ptr<const EventBoard>> boards;  // the events' boards

  // Counts one board in; the last one in answers.
  void arrived(std::size_t slot, BoardAnswer answer, const CachedValue& value);
  void answer();
};

ValueCache::Limits EventBoards::valueLimits(const Limits& limits) {
  ValueCache::Limits values;
  values.reuse = limits.reuse;
  values.deadline = limits.deadline;
  values.threads = 1;
  values.maxPending = limits.maxPending;
  // The list in a room of its own: it never goes for a board.
  constexpr std::size_t anyBytes = std::numeric_limits<std::size_t>::max() / 4;
  values.rooms = {ValueCache::Room{1, anyBytes}, ValueCache::Room{limits.maxKept, anyBytes},
                  ValueCache::Room{0, 0}};
  values.touchedWaits = true;
  values.threadName = "vorn-events";
  values.clock = limits.clock;
  return values;
}

EventBoards::EventBoards(EventStore& store, std::shared_ptr<ReviewWatch> reviews, Limits limits)
    : store_(store),
      limits_(std::move(limits)),
      watch_(std::move(reviews)),
      values_(
          valueLimits(limits_), [this](const CacheKey& key, Share) { return compute(key); },
          [watch = watch_.get()] { return watch->generation(); }),
      watchId_(watch_->watch(
          [this](const std::vector<std::int64_t>* receivedMs) { touched(receivedMs); })) {}

EventBoards::~EventBoards() { watch_->unwatch(watchId_); }

std::int64_t EventBoards::nowMs() const { return limits_.now ? limits_.now() : wallClockMs(); }

// After the reader's look-ups, as the leaderboard's cache does (board/cache.cpp).
void EventBoards::lookForReviews() {
  if (!watch_->claimCheck(limits_.reuse)) return;
  const auto check = [watch = watch_](bool late) { watch->queuedCheck(late); };
  if (!values_.runFirst(check)) watch_->queuedCheck(true);
}

void EventBoards::list(ListDone done) {
  CachedValue list;
  const auto lookup =
      values_.get(listKey, Share::tabs, list, [done](BoardAnswer answer, const CachedValue& value) {
        done(answer, std::static_pointer_cast<const std::vector<Event>>(value.data));
      });
  lookForReviews();
  if (lookup == ValueCache::Lookup::busy) return done(BoardAnswer::busy, nullptr);
  if (lookup == ValueCache::Lookup::atHand) {
    done(BoardAnswer::ok, std::static_pointer_cast<const std::vector<Event>>(list.data));
  }
}

// Only an event of the list has a board: a removed event is gone within the
// list's reuse time on every collector, and an id that names no event takes
// no place among the kept boards.
void EventBoards::board(std::int64_t id, BoardDone done) {
  if (id <= 0) return done(BoardAnswer::ok, false, Event(), nullptr);
  CachedValue list;
  const auto lookup = values_.get(listKey, Share::tabs, list,
                                  [this, id, done](BoardAnswer answer, const CachedValue& value) {
                                    if (answer != BoardAnswer::ok) {
                                      return done(answer, false, Event(), nullptr);
                                    }
                                    boardFrom(id, value, done);
                                  });
  lookForReviews();
  if (lookup == ValueCache::Lookup::busy) return done(BoardAnswer::busy, false, Event(), nullptr);
  if (lookup == ValueCache::Lookup::atHand) boardFrom(id, list, done);
}

void EventBoards::boardFrom(std::int64_t id, const CachedValue& list, const BoardDone& done) {
  const auto& events = *std::static_pointer_cast<const std::vector<Event>>(list.data);
  const auto at = std::find_if(events.begin(), events.end(),
                               [id](const Event& event) { return event.id == id; });
  if (at == events.end()) return done(BoardAnswer::ok, false, Event(), nullptr);
  // The name and description as the list has them now; the rows of the window.
  const auto answer = [done, event = *at](BoardAnswer answer, const CachedValue& value) {
    if (answer != BoardAnswer::ok) return done(answer, false, Event(), nullptr);
    const auto board = std::static_pointer_cast<const EventBoard>(value.data);
    done(BoardAnswer::ok, true, event,
         std::shared_ptr<const std::vector<LeaderboardRow>>(board, &board->rows));
  };
  CachedValue value;
  const auto lookup = values_.get(boardKey(*at), Share::players, value, answer);
  if (lookup == ValueCache::Lookup::busy) return done(BoardAnswer::busy, false, Event(), nullptr);
  if (lookup == ValueCache::Lookup::atHand) answer(BoardAnswer::ok, value);
}

// A board is known by its event's window: an event whose start, end or
// servers change has its board read anew.
CacheKey EventBoards::boardKey(const Event& event) {
  return {boardKind, event.id, 0,
          std::to_string(event.startMs) + " " + std::to_string(event.endMs) + " " +
              joinServers(event.servers)};
}

Event EventBoards::windowOf(const CacheKey& key) {
  Event window;
  window.id = key.fromMs;
  std::istringstream in(key.name);
  std::string servers;
  in >> window.startMs >> window.endMs;
  in.get();
  std::getline(in, servers);
  window.servers = splitServers(servers);
  return window;
}

void EventBoards::places(const std::string& player, PlacesDone done) {
  auto places = std::make_shared<Places>();
  places->player = player;
  places->done = std::move(done);
  CachedValue list;
  const auto lookup = values_.get(listKey, Share::tabs, list,
                                  [this, places](BoardAnswer answer, const CachedValue& value) {
                                    if (answer != BoardAnswer::ok) return places->done(answer, {});
                                    placesFrom(places, value);
                                  });
  lookForReviews();
  if (lookup == ValueCache::Lookup::busy) return places->done(BoardAnswer::busy, {});
  if (lookup == ValueCache::Lookup::atHand) placesFrom(places, list);
}

void EventBoards::placesFrom(const std::shared_ptr<Places>& places, const CachedValue& list) {
  const std::int64_t now = nowMs();
  for (const Event& event : *std::static_pointer_cast<const std::vector<Event>>(list.data)) {
    if (event.startMs > now) continue;
    if (places->events.size() == limits_.placesOf) break;
    places->events.push_back(event);
  }
  places->boards.resize(places->events.size());
  int waiting = 0;
  for (std::size_t slot = 0; slot < places->events.size(); ++slot) {
    CachedValue value;
    const auto lookup =
        values_.get(boardKey(places->events[slot]), Share::players, value,
                    [places, slot](BoardAnswer answer, const CachedValue& computed) {
                      places->arrived(slot, answer, computed);
                    });
    std::lock_guard<std::mutex> lock(places->mutex);
    if (lookup == ValueCache::Lookup::busy) {
      places->abandoned = true;
      break;
    }
    if (lookup == ValueCache::Lookup::atHand) {
      places->boards[slot] = std::static_pointer_cast<const EventBoard>(value.data);
    }
    waiting += lookup == ValueCache::Lookup::waiting;
  }
  bool complete = false, abandoned = false;
  {
    // The boards computed meanwhile have counted down from allAsked already.
    std::lock_guard<std::mutex> lock(places->mutex);
    places->remaining -= allAsked - waiting;
    complete = places->remaining == 0 && !places->abandoned;
    abandoned = places->abandoned;
  }
  if (abandoned) return places->done(BoardAnswer::busy, {});
  if (complete) places->answer();
}

void EventBoards::Places::arrived(std::size_t slot, BoardAnswer answer, const CachedValue& value) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (abandoned) return;
    if (answer != BoardAnswer::ok) worst = answer;
    boards[slot] = std::static_pointer_cast<const EventBoard>(value.data);
    if (--remaining > 0) return;
  }
  this->answer();
}

void EventBoards::Places::answer() {
  std::vector<EventPlace> places;
  if (worst != BoardAnswer::ok) return done(worst, places);
  for (std::size_t slot = 0; slot < boards.size(); ++slot) {
    const EventBoard& board = *boards[slot];
    const auto line = board.rowOf.find(player);
    if (line != board.rowOf.end()) places.push_back({events[slot], board.rows[line->second]});
  }
  done(BoardAnswer::ok, places);
}

ValueCache::Computed EventBoards::compute(const CacheKey& key) {
  const auto started = std::chrono::steady_clock::now();
  watch_->check(limits_.reuse / 4);
  ValueCache::Computed computed;
  computed.generation = watch_->generation();
  std::string error;
  bool ok = true;
  if (key.kind == listKind) {
    auto events = std::make_shared<std::vector<Event>>();
    ok = store_.listEvents(*events, error);
    if (!ok) readFailures().write(error, "event list failed: " + error);
    computed.bytes = events->capacity() * sizeof(Event);
    computed.data = std::move(events);
  } else {
    ok = computeBoard(windowOf(key), computed, error);
    if (!ok && !error.empty()) readFailures().write(error, "event board failed: " + error);
  }
  if (limits_.computed) {
    const auto took = std::chrono::steady_clock::now() - started;
    limits_.computed(std::chrono::duration<double>(took).count(), ok);
  }
  if (!ok) computed.data = nullptr;
  return computed;
}

bool EventBoards::computeBoard(const Event& window, ValueCache::Computed& computed,
                               std::string& error) {
  auto board = std::make_shared<EventBoard>();
  board->window = window;
  if (!store_.eventBoard(window, board->rows, error)) return false;
  board->rowOf.reserve(board->rows.size());
  for (std::size_t i = 0; i < board->rows.size(); ++i) {
    board->rowOf.emplace(board->rows[i].playerName, i);
  }
  computed.closed = window.endMs + limits_.closeAfter.count() <= nowMs();
  computed.bytes = bytesOf(board->rows) + board->rows.size() * 32;
  computed.data = std::move(board);
  return true;
}

void EventBoards::touched(const std::vector<std::int64_t>* receivedMs) {
  values_.touch([receivedMs](const CacheKey& key, const void* data) {
    if (key.kind != boardKind) return false;
    const Event& window = static_cast<const EventBoard*>(data)->window;
    if (!receivedMs) return true;
    return std::any_of(receivedMs->begin(), receivedMs->end(), [&](std::int64_t ms) {
      return ms >= window.startMs && ms < window.endMs;
    });
  });
}

}  // namespace collector
