#include "board/events.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "core/clock.h"
#include "core/log_limit.h"
#include "core/text.h"
#include "core/threads.h"
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

// A review is stamped with its process's clock when it begins and commits a
// little later: reviews are looked for from this long before a board was
// read, so that none committed meanwhile goes unseen.
constexpr std::int64_t reviewMarginMs = 60000;

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

EventBoards::EventBoards(Store& store, Limits limits)
    : store_(store), limits_(std::move(limits)), thread_([this] { work(); }) {}

EventBoards::~EventBoards() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  pending_.notify_all();
  thread_.join();
  for (const Job& job : queue_) job.task(true);
}

std::int64_t EventBoards::nowMs() const { return limits_.now ? limits_.now() : wallClockMs(); }

void EventBoards::list(ListDone done) {
  Value value;
  if (atHand(0, value)) return done(BoardAnswer::ok, value.events);
  const bool queued = enqueue([this, done](bool late) {
    Value value;
    if (late) return done(BoardAnswer::busy, nullptr);
    if (!get(0, value)) return done(BoardAnswer::failed, nullptr);
    done(BoardAnswer::ok, value.events);
  });
  if (!queued) done(BoardAnswer::busy, nullptr);
}

void EventBoards::board(std::int64_t id, BoardDone done) {
  Value value;
  if (id <= 0) return done(BoardAnswer::ok, false, Event(), nullptr);
  if (atHand(id, value)) return done(BoardAnswer::ok, value.found, value.event, value.rows);
  const bool queued = enqueue([this, id, done](bool late) {
    Value value;
    if (late) return done(BoardAnswer::busy, false, Event(), nullptr);
    if (!get(id, value)) return done(BoardAnswer::failed, false, Event(), nullptr);
    done(BoardAnswer::ok, value.found, value.event, value.rows);
  });
  if (!queued) done(BoardAnswer::busy, false, Event(), nullptr);
}

bool EventBoards::placesFrom(const std::string& player,
                             const std::function<bool(std::int64_t, Value&)>& fetch,
                             std::vector<EventPlace>& places) {
  Value list;
  if (!fetch(0, list)) return false;
  const std::int64_t now = nowMs();
  std::size_t looked = 0;
  for (const Event& event : *list.events) {
    if (event.startMs > now) continue;
    if (looked++ == limits_.placesOf) break;
    Value board;
    if (!fetch(event.id, board)) return false;
    if (!board.found) continue;
    const auto line = board.rowOf->find(player);
    if (line != board.rowOf->end()) places.push_back({board.event, (*board.rows)[line->second]});
  }
  return true;
}

void EventBoards::places(const std::string& player, PlacesDone done) {
  // On the caller's thread when the list and every board it needs are at
  // hand, as they are between the boards' computations.
  std::vector<EventPlace> places;
  const auto atHandOnly = [this](std::int64_t key, Value& value) { return atHand(key, value); };
  if (placesFrom(player, atHandOnly, places)) return done(BoardAnswer::ok, places);
  const bool queued = enqueue([this, player, done](bool late) {
    std::vector<EventPlace> places;
    if (late) return done(BoardAnswer::busy, places);
    const auto computed = [this](std::int64_t key, Value& value) { return get(key, value); };
    if (!placesFrom(player, computed, places)) return done(BoardAnswer::failed, places);
    done(BoardAnswer::ok, places);
  });
  if (!queued) done(BoardAnswer::busy, {});
}

bool EventBoards::atHand(std::int64_t key, Value& value) {
  const Clock::time_point now = Clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = entries_.find(key);
  if (found == entries_.end() || !found->second.held) return false;
  Entry& entry = found->second;
  entry.readAt = now;
  const bool kept = entry.value.kept;
  const auto age = now - (kept ? entry.checkedAt : entry.computedAt);
  if (!kept && age >= 2 * limits_.reuse) return false;
  if (age >= limits_.reuse && !refreshing_ && !stopping_ && queue_.size() < limits_.maxPending) {
    // One refresh at a time: the next reader after it finds the value fresh.
    refreshing_ = true;
    queue_.push_back({now, [this, key](bool) {
                        Value ignored;
                        get(key, ignored);
                        std::lock_guard<std::mutex> lock(mutex_);
                        refreshing_ = false;
                      }});
    pending_.notify_one();
  }
  value = entry.value;
  return true;
}

bool EventBoards::get(std::int64_t key, Value& value) {
  const Clock::time_point now = Clock::now();
  const std::int64_t wallMs = nowMs();
  Entry held;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = entries_.find(key);
    if (found != entries_.end()) held = found->second;
  }
  std::string error;
  if (held.held && held.value.kept) {
    if (now - held.checkedAt < limits_.reuse) {
      value = held.value;
      return true;
    }
    std::vector<ReviewedReport> reviewed;
    if (!store_.reviewedSince(held.checkedMs, reviewed, error)) {
      readFailures().write(error, "event board failed: " + error);
      return false;
    }
    const bool touched =
        std::any_of(reviewed.begin(), reviewed.end(), [&](const ReviewedReport& report) {
          return report.receivedMs >= held.value.event.startMs &&
                 report.receivedMs < held.value.event.endMs;
        });
    if (!touched) {
      std::lock_guard<std::mutex> lock(mutex_);
      Entry& entry = entries_[key];
      entry.checkedMs = wallMs - reviewMarginMs;
      entry.checkedAt = now;
      value = entry.value;
      return true;
    }
  } else if (held.held && now - held.computedAt < limits_.reuse) {
    value = held.value;
    return true;
  }
  Value computed;
  const auto start = Clock::now();
  bool ok = true;
  if (key == 0) {
    auto events = std::make_shared<std::vector<Event>>();
    ok = store_.listEvents(*events, error);
    computed.events = std::move(events);
  } else {
    Value list;
    ok = get(0, list);
    for (std::size_t i = 0; ok && i < list.events->size(); ++i) {
      if ((*list.events)[i].id == key) {
        computed.found = true;
        computed.event = (*list.events)[i];
      }
    }
    if (ok && computed.found) {
      // The rows and their index by name in one block: the index's keys are
      // the rows' names.
      struct Ranked {
        std::vector<LeaderboardRow> rows;
        std::unordered_map<std::string_view, std::size_t> rowOf;
      };
      auto ranked = std::make_shared<Ranked>();
      ok = store_.eventBoard(computed.event, ranked->rows, error);
      ranked->rowOf.reserve(ranked->rows.size());
      for (std::size_t i = 0; i < ranked->rows.size(); ++i) {
        ranked->rowOf.emplace(ranked->rows[i].playerName, i);
      }
      computed.rows = std::shared_ptr<const std::vector<LeaderboardRow>>(ranked, &ranked->rows);
      computed.rowOf = std::shared_ptr<const std::unordered_map<std::string_view, std::size_t>>(
          ranked, &ranked->rowOf);
      computed.kept = computed.event.endMs + limits_.closeAfter.count() <= wallMs;
    }
    if (!ok && !error.empty()) readFailures().write(error, "event board failed: " + error);
  }
  if (key == 0 && !ok) readFailures().write(error, "event list failed: " + error);
  if (limits_.computed) {
    limits_.computed(std::chrono::duration<double>(Clock::now() - start).count(), ok);
  }
  if (!ok) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (entries_.size() >= limits_.maxKept && !entries_.count(key)) {
    // The least recently read board goes (never the list).
    auto oldest = entries_.end();
    for (auto at = entries_.begin(); at != entries_.end(); ++at) {
      if (at->first != 0 && (oldest == entries_.end() || at->second.readAt < oldest->second.readAt))
        oldest = at;
    }
    if (oldest != entries_.end()) entries_.erase(oldest);
  }
  Entry& entry = entries_[key];
  entry.value = computed;
  entry.held = true;
  entry.computedAt = now;
  entry.checkedAt = now;
  entry.checkedMs = wallMs - reviewMarginMs;
  if (entry.readAt == Clock::time_point()) entry.readAt = now;
  value = computed;
  return true;
}

bool EventBoards::enqueue(std::function<void(bool late)> task) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_ || queue_.size() >= limits_.maxPending) return false;
  queue_.push_back({Clock::now(), std::move(task)});
  pending_.notify_one();
  return true;
}

void EventBoards::work() {
  nameThisThread("vorn-events");
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    pending_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    Job job = std::move(queue_.front());
    queue_.pop_front();
    const bool late = Clock::now() - job.queuedAt > limits_.deadline;
    lock.unlock();
    job.task(late);
    lock.lock();
  }
}

}  // namespace collector
