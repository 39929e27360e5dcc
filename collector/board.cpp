#include "board.h"

#include <algorithm>
#include <cstdio>
#include <future>
#include <iostream>
#include <nlohmann/json.hpp>

#include "page.h"

namespace collector {

namespace {

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t daysFromCivil(int year, unsigned month, unsigned day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

// YYYY-MM-DD as the first millisecond of that UTC day.
bool parseDate(const std::string& text, std::int64_t& ms) {
  int year = 0;
  unsigned month = 0, day = 0;
  char tail = 0;
  if (text.size() != 10 || text[4] != '-' || text[7] != '-' ||
      std::sscanf(text.c_str(), "%4d-%2u-%2u%c", &year, &month, &day, &tail) != 3 || month < 1 ||
      month > 12 || day < 1 || day > 31) {
    return false;
  }
  ms = daysFromCivil(year, month, day) * msPerDay;
  return true;
}

// A whole decimal number within [least, most].
bool parseCount(const std::string& text, std::int64_t least, std::int64_t most,
                std::int64_t& value) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != text.npos) {
    return false;
  }
  value = std::stoll(text);
  return value >= least && value <= most;
}

}  // namespace

bool parsePeriod(const ParamReader& param, Period& period, std::string& text, std::string& params) {
  std::int64_t ms = 0;
  std::string since, until;
  text = "All time";
  params.clear();
  if (param("since", since)) {
    if (!parseDate(since, ms)) return false;
    period.fromMs = ms;
    text = "From " + since;
    params = "since=" + since;
  }
  if (param("until", until)) {
    if (!parseDate(until, ms)) return false;
    period.untilMs = ms + msPerDay;
    text += (params.empty() ? "Until " : " until ") + until;
    params += (params.empty() ? "until=" : "&until=") + until;
  }
  return true;
}

bool parseBoardQuery(const ParamReader& param, BoardQuery& query, std::string& periodText,
                     std::string& periodParams, std::string& error) {
  if (!parsePeriod(param, query.period, periodText, periodParams)) {
    error = "since and until are dates, YYYY-MM-DD";
    return false;
  }
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
  for (const LeaderboardRow& row : board.rows) {
    nlohmann::json servers = nlohmann::json::object();
    for (const auto& [serverId, totals] : row.servers) {
      servers[serverId] = {{"miles", totals.miles}, {"seconds", totals.seconds}};
    }
    players.push_back({{"rank", row.rank},
                       {"player_name", row.playerName},
                       {"miles", row.miles},
                       {"seconds", row.seconds},
                       {"reports", row.reports},
                       {"flagged_reports", row.flaggedReports},
                       {"servers", servers},
                       {"last_truck", row.lastTruck},
                       {"last_trailer", row.lastTrailer},
                       {"last_seen", isoTime(row.lastSeenMs)}});
  }
  const nlohmann::json body = {{"players", players}, {"total_players", board.totalPlayers}};
  return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
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
      if (key.days) {
        auto days = std::make_shared<std::vector<DayTotals>>();
        done = store_.communityDays(period, *days, error);
        computed.days = std::move(days);
      } else {
        auto rows = std::make_shared<std::vector<LeaderboardRow>>();
        done = store_.leaderboard(period, *rows, error);
        computed.rows = std::move(rows);
      }
      if (!done) std::cerr << "leaderboard failed: " << error << "\n";
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
