// The arithmetic of the totals and boards that both stores share.
#include <algorithm>
#include <cmath>
#include <string_view>
#include <unordered_map>

#include "core/fairplay.h"
#include "store/shared.h"

namespace collector {

namespace {

// The row of a TotalsDelta for a player, day and server; `added` when new.
TotalsRow& totalsRow(TotalsDelta& delta, std::int64_t playerId, std::int64_t day,
                     const std::string& serverId, bool& added) {
  auto [at, inserted] = delta.try_emplace(TotalsKey{playerId, day, serverId});
  added = inserted;
  if (inserted) {
    at->second.playerId = playerId;
    at->second.day = day;
    at->second.serverId = serverId;
  }
  return at->second;
}

// Adds a totals row's counted amounts to its server's, when it has any.
void addCounted(std::map<std::string, ServerTotals>& servers, const TotalsRow& row) {
  if (row.reports == 0) return;
  ServerTotals& server = servers[row.serverId];
  server.miles = addMiles(server.miles, row.miles);
  server.seconds += row.seconds;
}

}  // namespace

void addToTotals(TotalsDelta& delta, std::int64_t playerId, std::int64_t receivedMs,
                 const ReportBody& report, bool counted, bool awaitingReview) {
  for (const std::int64_t day : {dayOf(receivedMs), allTimeDay}) {
    bool added = false;
    TotalsRow& row = totalsRow(delta, playerId, day, report.serverId, added);
    if (counted) {
      row.miles = addMiles(row.miles, report.miles);
      row.seconds += report.seconds;
      ++row.reports;
    } else if (awaitingReview) {
      ++row.flagged;
    }
    // The later stored report wins a tie, as it does in the database.
    if (added || receivedMs >= row.lastMs) {
      row.lastMs = receivedMs;
      row.lastTruck = report.truck;
      row.lastTrailer = report.trailer;
    }
  }
}

void addReviewToTotals(TotalsDelta& delta, std::int64_t playerId, std::int64_t receivedMs,
                       const ReportBody& report, bool accept) {
  for (const std::int64_t day : {dayOf(receivedMs), allTimeDay}) {
    bool added = false;
    TotalsRow& row = totalsRow(delta, playerId, day, report.serverId, added);
    if (added) row.lastMs = std::numeric_limits<std::int64_t>::min();  // the last report stays
    if (accept) {
      row.miles = addMiles(row.miles, report.miles);
      row.seconds += report.seconds;
      ++row.reports;
    }
    --row.flagged;
  }
}

void BoardBuilder::add(const TotalsRow& row) {
  auto [at, added] = rows_.try_emplace(row.playerId);
  LeaderboardRow& line = at->second;
  if (added) line.playerName = row.playerName;
  line.miles = addMiles(line.miles, row.miles);
  line.seconds += row.seconds;
  line.reports += row.reports;
  line.flaggedReports += row.flagged;
  addCounted(line.servers, row);
  if (added || row.lastMs > line.lastSeenMs) {
    line.lastSeenMs = row.lastMs;
    line.lastTruck = row.lastTruck;
    line.lastTrailer = row.lastTrailer;
  }
}

namespace {

void rank(std::vector<LeaderboardRow>& rows) {
  // Miles that agree to a millionth of a mile, the plug-in's precision, are a
  // tie: sums of the same reports in another order (another store, an
  // upgrade) may differ in their last bits, and must rank the same.
  std::sort(rows.begin(), rows.end(), [](const LeaderboardRow& a, const LeaderboardRow& b) {
    return ranksAbove(a.playerName, a.miles, b.playerName, b.miles);
  });
  // Only players with counted miles have a place; they come first.
  for (std::size_t i = 0; i < rows.size(); ++i) {
    rows[i].rank = placed(rows[i].miles) ? static_cast<std::int64_t>(i) + 1 : 0;
  }
}

}  // namespace

std::vector<LeaderboardRow> BoardBuilder::finish() {
  std::vector<LeaderboardRow> rows;
  rows.reserve(rows_.size());
  for (auto& entry : rows_) rows.push_back(std::move(entry.second));
  rows_.clear();
  rank(rows);
  return rows;
}

std::vector<DayTotals> sumDays(const std::vector<TotalsRow>& rows) {
  std::map<std::int64_t, DayTotals> days;
  for (const TotalsRow& row : rows) {
    DayTotals& day = days[row.day];
    day.day = row.day;
    day.miles = addMiles(day.miles, row.miles);
    day.seconds += row.seconds;
    day.reports += row.reports;
    addCounted(day.servers, row);
  }
  std::vector<DayTotals> out;
  for (auto& entry : days) out.push_back(std::move(entry.second));
  return out;
}

}  // namespace collector
