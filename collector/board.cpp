#include "board.h"

#include <algorithm>
#include <cstdio>
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
  for (std::size_t i = 0; i < limits_.threads; ++i) threads_.emplace_back([this] { work(); });
}

BoardCache::~BoardCache() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  pending_.notify_all();
  computed_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

BoardAnswer BoardCache::board(const BoardQuery& query, Board& board) {
  Entry entry;
  const BoardAnswer answer = fresh({false, query.period.fromMs, query.period.untilMs}, entry);
  if (answer == BoardAnswer::ok) sliceBoard(*entry.rows, query, board);
  return answer;
}

BoardAnswer BoardCache::communityDays(const Period& period, std::vector<DayTotals>& days) {
  Entry entry;
  const BoardAnswer answer = fresh({true, period.fromMs, period.untilMs}, entry);
  if (answer == BoardAnswer::ok) days = *entry.days;
  return answer;
}

BoardAnswer BoardCache::fresh(const Key& key, Entry& entry) {
  const Clock::time_point start = Clock::now();
  std::unique_lock<std::mutex> lock(mutex_);
  // Entries nobody asked for lately go, so that many periods asked for once
  // do not pile up.
  if (entries_.size() > 64) {
    for (auto at = entries_.begin(); at != entries_.end();) {
      const Entry& old = at->second;
      const bool stale =
          !old.computing && old.waiters == 0 && start - old.computedAt > limits_.reuse;
      at = stale ? entries_.erase(at) : std::next(at);
    }
  }
  Entry& current = entries_[key];
  const auto schedule = [&] {
    if (current.computing) return true;
    if (queue_.size() >= limits_.maxPending) return false;
    current.computing = true;
    queue_.push_back(key);
    pending_.notify_one();
    return true;
  };
  const auto usable = [&] {
    return (current.rows || current.days) && Clock::now() - current.computedAt < limits_.reuse;
  };
  if (usable()) {
    if (Clock::now() - current.computedAt >= limits_.reuse / 2) schedule();
    entry = current;
    return BoardAnswer::ok;
  }
  if (!schedule()) return BoardAnswer::busy;
  const std::uint64_t runs = current.runs;
  // `current` stays valid: an entry with waiters is never erased.
  ++current.waiters;
  const bool finished = computed_.wait_until(lock, start + limits_.deadline,
                                             [&] { return current.runs != runs || stopping_; });
  --current.waiters;
  if (!finished || stopping_) return BoardAnswer::busy;
  if (current.failed) return BoardAnswer::failed;
  entry = current;
  return BoardAnswer::ok;
}

void BoardCache::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    pending_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    const Key key = queue_.front();
    queue_.pop_front();
    lock.unlock();
    const Period period{key.fromMs, key.untilMs};
    std::string error;
    std::shared_ptr<std::vector<LeaderboardRow>> rows;
    std::shared_ptr<std::vector<DayTotals>> days;
    bool done = false;
    if (key.days) {
      days = std::make_shared<std::vector<DayTotals>>();
      done = store_.communityDays(period, *days, error);
    } else {
      rows = std::make_shared<std::vector<LeaderboardRow>>();
      done = store_.leaderboard(period, *rows, error);
    }
    if (!done) std::cerr << "leaderboard failed: " << error << "\n";
    lock.lock();
    Entry& entry = entries_[key];
    entry.computing = false;
    entry.failed = !done;
    ++entry.runs;
    if (done) {
      entry.rows = std::move(rows);
      entry.days = std::move(days);
      entry.computedAt = Clock::now();
    }
    computed_.notify_all();
  }
}

}  // namespace collector
