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

}  // namespace collector
