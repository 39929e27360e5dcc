#include "board.h"

#include <algorithm>
#include <iostream>
#include <nlohmann/json.hpp>

#include "page.h"

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
  return {{"rank", row.rank},
          {"player_name", row.playerName},
          {"miles", row.miles},
          {"seconds", row.seconds},
          {"reports", row.reports},
          {"flagged_reports", row.flaggedReports},
          {"servers", servers},
          {"last_truck", row.lastTruck},
          {"last_trailer", row.lastTrailer},
          {"last_seen", isoTime(row.lastSeenMs)}};
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
  return oneLine(json);
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
