#include "board/movement.h"

#include "core/fairplay.h"

namespace collector {

namespace {

std::vector<Standing> standings(const std::vector<LeaderboardRow>& rows) {
  std::vector<Standing> out;
  out.reserve(rows.size());
  for (const LeaderboardRow& row : rows) {
    out.push_back({row.playerName, row.miles, row.reports + row.flaggedReports});
  }
  return out;
}

}  // namespace

void setRanksThen(std::vector<LeaderboardRow>& rows, const std::vector<LeaderboardRow>& latest) {
  const std::vector<std::int64_t> ranks = ranksBefore(standings(rows), standings(latest));
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i].rankThen = ranks[i];
}

bool computeBoard(Store& store, const Period& period, std::int64_t nowMs,
                  std::vector<LeaderboardRow>& rows, std::string& error) {
  if (!isAllTime(period)) return store.leaderboard(period, rows, error);
  // The latest days first: every report they hold is then in the all-time
  // board read after them, so that no player seems new for a report stored
  // between the two reads.
  std::vector<LeaderboardRow> latest;
  Period days;
  days.fromMs = (dayOf(nowMs) - movementDays) * msPerDay;
  if (!store.leaderboard(days, latest, error) || !store.leaderboard(period, rows, error)) {
    return false;
  }
  setRanksThen(rows, latest);
  return true;
}

}  // namespace collector
