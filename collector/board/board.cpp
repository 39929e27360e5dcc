#include "board/board.h"

#include <algorithm>
#include <future>
#include <iostream>
#include <nlohmann/json.hpp>

#include "board/movement.h"
#include "core/fairplay.h"
#include "core/text.h"

namespace collector {

namespace {

// A whole decimal number within [least, most].
bool parseCount(const std::string& text, std::int64_t least, std::int64_t most,
                std::int64_t& value) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != text.npos) {
    return false;
  }
  value = std::stoll(text);
  return value >= least && value <= most;
}

std::string oneLine(const nlohmann::json& json) {
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

// A player's line as the board's JSON and the player's JSON show it.
nlohmann::json rowJson(const LeaderboardRow& row) {
  nlohmann::json servers = nlohmann::json::object();
  for (const auto& [serverId, totals] : row.servers) {
    servers[serverId] = {{"miles", totals.miles}, {"seconds", totals.seconds}};
  }
  nlohmann::json json = {{"rank", row.rank},
                         {"player_name", row.playerName},
                         {"miles", row.miles},
                         {"seconds", row.seconds},
                         {"reports", row.reports},
                         {"flagged_reports", row.flaggedReports},
                         {"servers", servers},
                         {"last_truck", row.lastTruck},
                         {"last_trailer", row.lastTrailer},
                         {"last_seen", isoTime(row.lastSeenMs)}};
  // Places gained (negative: lost) since the all-time board of seven days ago.
  if (row.rankThen == 0) json["rank_change"] = "new";
  if (row.rankThen > 0) json["rank_change"] = row.rankThen - row.rank;
  return json;
}

}  // namespace

bool parseBoardQuery(const ParamReader& param, std::int64_t today, BoardQuery& query,
                     PeriodChoice& period, std::string& error) {
  std::string since, until;
  const bool hasSince = param("since", since), hasUntil = param("until", until);
  if (!choosePeriod(hasSince ? &since : nullptr, hasUntil ? &until : nullptr, today, period)) {
    error = "since and until are dates, YYYY-MM-DD";
    return false;
  }
  query.period = period.period;
  std::string text;
  if (param("limit", text) && !parseCount(text, 1, 1000, query.limit)) {
    error = "limit is a whole number from 1 to 1000";
    return false;
  }
  if (param("offset", text) && !parseCount(text, 0, 1000000000, query.offset)) {
    error = "offset is a whole number, 0 or more";
    return false;
  }
  param("player", query.player);
  return true;
}

std::string boardJson(const Board& board) {
  nlohmann::json players = nlohmann::json::array();
  for (const LeaderboardRow& row : board.rows) players.push_back(rowJson(row));
  return oneLine({{"players", players}, {"total_players", board.totalPlayers}});
}

std::string playerJson(const std::string& name, const PlayerView& view) {
  nlohmann::json json = rowJson(view.totals);
  json["player_name"] = name;
  json["days"] = nlohmann::json::array();
  for (const DayTotals& day : view.days) {
    json["days"].push_back({{"day", dayText(day.day)},
                            {"miles", day.miles},
                            {"seconds", day.seconds},
                            {"reports", day.reports}});
  }
  json["last_reports"] = nlohmann::json::array();
  for (const StoredReport& report : view.lastReports) {
    json["last_reports"].push_back({{"received", isoTime(report.receivedMs)},
                                    {"server_id", report.serverId},
                                    {"miles", report.miles},
                                    {"seconds", report.seconds},
                                    {"truck", report.truck},
                                    {"trailer", report.trailer},
                                    {"flag", report.flag}});
  }
  // The player's flagged reports, each with its rule in words and its review;
  // nothing of the key or the address.
  json["flags"] = nlohmann::json::array();
  for (const StoredReport& report : view.flags) {
    nlohmann::json flag = {
        {"id", report.id},
        {"received", isoTime(report.receivedMs)},
        {"server_id", report.serverId},
        {"miles", report.miles},
        {"seconds", report.seconds},
        {"flag", report.flag},
        {"explanation",
         flagExplanation({report.flag, report.miles, report.seconds, report.flagLimit})},
        {"review", report.review.empty() ? std::string("waiting") : report.review},
        {"review_text", reviewText(report.review)}};
    if (report.flagLimit > 0.0) {
      flag[report.flag == flagSpeed ? "limit_mph" : "wall_seconds"] = report.flagLimit;
    }
    json["flags"].push_back(flag);
  }
  return oneLine(json);
}

BoardCache::BoardCache(Store& store, Limits limits) : store_(store), limits_(limits) {
  for (std::size_t i = 0; i < limits_.threads; ++i) {
    threads_.emplace_back([this] { work(queue_, pending_); });
  }
  threads_.emplace_back([this] { work(answers_, answersPending_); });
}

BoardCache::~BoardCache() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  pending_.notify_all();
  answersPending_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  for (const auto* jobs : {&answers_, &queue_}) {
    for (const Job& job : *jobs) {
      if (job.task) job.task(true);
    }
  }
  for (auto& entry : entries_) {
    for (const Waiter& waiter : entry.second.waiters) waiter(BoardAnswer::busy, {});
  }
}

void BoardCache::board(const BoardQuery& query, BoardDone done) {
  fresh({false, query.period.fromMs, query.period.untilMs},
        [query, done = std::move(done)](BoardAnswer answer, const Computed& computed) {
          Board board;
          if (answer == BoardAnswer::ok) sliceBoard(*computed.rows, query, board);
          done(answer, board);
        });
}

void BoardCache::communityDays(const Period& period, DaysDone done) {
  fresh({true, period.fromMs, period.untilMs},
        [done = std::move(done)](BoardAnswer answer, const Computed& computed) {
          done(answer, answer == BoardAnswer::ok ? *computed.days : std::vector<DayTotals>());
        });
}

void BoardCache::player(const std::string& name, const Period& period, const Period& daysPeriod,
                        PlayerDone done) {
  fresh({false, period.fromMs, period.untilMs}, [this, name, daysPeriod, done = std::move(done)](
                                                    BoardAnswer answer, const Computed& computed) {
    if (answer != BoardAnswer::ok) return done(answer, false, PlayerView());
    LeaderboardRow totals;
    totals.playerName = name;
    for (const LeaderboardRow& row : *computed.rows) {
      if (row.playerName == name) totals = row;
    }
    const bool queued = enqueue([this, name, daysPeriod, totals, done](bool late) {
      PlayerView view;
      bool found = false;
      std::string error;
      if (late) return done(BoardAnswer::busy, false, view);
      if (!store_.playerActivity(name, daysPeriod, view, found, error)) {
        if (found) std::cerr << "player view failed: " << error << "\n";
        return done(found ? BoardAnswer::failed : BoardAnswer::ok, false, view);
      }
      view.totals = totals;
      done(BoardAnswer::ok, true, view);
    });
    if (!queued) done(BoardAnswer::busy, false, PlayerView());
  });
}

bool BoardCache::enqueue(std::function<void(bool late)> task) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_ || queue_.size() >= limits_.maxPending) return false;
  queue_.push_back({Key{}, Clock::now(), std::move(task)});
  pending_.notify_one();
  return true;
}

BoardAnswer BoardCache::board(const BoardQuery& query, Board& board) {
  std::promise<BoardAnswer> answered;
  board.rows.clear();
  this->board(query, [&](BoardAnswer answer, const Board& computed) {
    board = computed;
    answered.set_value(answer);
  });
  return answered.get_future().get();
}

BoardAnswer BoardCache::communityDays(const Period& period, std::vector<DayTotals>& days) {
  std::promise<BoardAnswer> answered;
  communityDays(period, [&](BoardAnswer answer, const std::vector<DayTotals>& computed) {
    days = computed;
    answered.set_value(answer);
  });
  return answered.get_future().get();
}

void BoardCache::fresh(const Key& key, Waiter waiter) {
  const Clock::time_point now = Clock::now();
  std::unique_lock<std::mutex> lock(mutex_);
  // Entries nobody asked for lately go, so that many periods asked for once
  // do not pile up.
  if (entries_.size() > 64) {
    for (auto at = entries_.begin(); at != entries_.end();) {
      const bool stale = !at->second.computing && now - at->second.computedAt > limits_.reuse;
      at = stale ? entries_.erase(at) : std::next(at);
    }
  }
  Entry& entry = entries_[key];
  const auto schedule = [&] {
    if (entry.computing) return true;
    if (stopping_ || queue_.size() >= limits_.maxPending) return false;
    entry.computing = true;
    queue_.push_back({key, now, nullptr});
    pending_.notify_one();
    return true;
  };
  const bool held = entry.computed.rows || entry.computed.days;
  if (held && now - entry.computedAt < limits_.reuse) {
    if (now - entry.computedAt >= limits_.reuse / 2) schedule();
    // Even a board at hand is answered (sliced, rendered) on a thread of the
    // cache: however many read, the reports keep the rest of the CPU.
    if (!stopping_ && answers_.size() < limits_.maxAnswers) {
      answers_.push_back(
          {key, now, [waiter = std::move(waiter), computed = entry.computed](bool late) {
             waiter(late ? BoardAnswer::busy : BoardAnswer::ok, computed);
           }});
      answersPending_.notify_one();
      return;
    }
    lock.unlock();
    return waiter(BoardAnswer::busy, {});
  }
  if (!schedule()) {
    lock.unlock();
    return waiter(BoardAnswer::busy, {});
  }
  entry.waiters.push_back(std::move(waiter));
}

void BoardCache::work(std::deque<Job>& jobs, std::condition_variable& pending) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    pending.wait(lock, [&] { return stopping_ || !jobs.empty(); });
    if (stopping_) return;
    const Job job = std::move(jobs.front());
    jobs.pop_front();
    const Key key = job.key;
    // A computation that waited too long for its thread is not begun: its
    // requests have been waiting that long already.
    const bool late = Clock::now() - job.queuedAt > limits_.deadline;
    lock.unlock();
    if (job.task) {
      job.task(late);
      lock.lock();
      continue;
    }
    const Period period{key.fromMs, key.untilMs};
    std::string error;
    Computed computed;
    bool done = false;
    if (!late) {
      const auto start = Clock::now();
      if (key.days) {
        auto days = std::make_shared<std::vector<DayTotals>>();
        done = store_.communityDays(period, *days, error);
        computed.days = std::move(days);
      } else {
        auto rows = std::make_shared<std::vector<LeaderboardRow>>();
        const auto wallMs = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::system_clock::now().time_since_epoch());
        done = computeBoard(store_, period, wallMs.count(), *rows, error);
        computed.rows = std::move(rows);
      }
      if (!done) std::cerr << "leaderboard failed: " << error << "\n";
      if (limits_.computed) {
        limits_.computed(std::chrono::duration<double>(Clock::now() - start).count(), done);
      }
    }
    lock.lock();
    Entry& entry = entries_[key];
    entry.computing = false;
    if (done) {
      entry.computed = computed;
      entry.computedAt = Clock::now();
    }
    std::vector<Waiter> waiters = std::move(entry.waiters);
    entry.waiters.clear();
    lock.unlock();
    const BoardAnswer answer = done   ? BoardAnswer::ok
                               : late ? BoardAnswer::busy
                                      : BoardAnswer::failed;
    for (const Waiter& waiter : waiters) waiter(answer, computed);
    lock.lock();
  }
}

}  // namespace collector
