#include "board/board.h"

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
  nlohmann::json unplaced = nlohmann::json::array();
  for (const LeaderboardRow& row : board.unplaced) {
    nlohmann::json json = rowJson(row);
    json.erase("rank");
    json.erase("rank_change");
    unplaced.push_back(std::move(json));
  }
  return oneLine({{"players", players},
                  {"total_players", board.totalPlayers},
                  {"nothing_counted_yet", unplaced}});
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
         flagExplanation({report.flag, report.miles, report.seconds, report.flagLimit,
                          report.sincePlayerAdded})},
        {"review", report.review.empty() ? std::string("waiting") : report.review},
        {"review_text", reviewText(report.review)}};
    if (report.flagLimit > 0.0) {
      flag[report.flag == flagSpeed ? "limit_mph" : "wall_seconds"] = report.flagLimit;
    }
    json["flags"].push_back(flag);
  }
  return oneLine(json);
}

}  // namespace collector
