#include "board/rows.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "core/fairplay.h"
#include "core/numbers.h"  // addMiles: a joined board sums miles as the store's totals do

namespace collector {

std::vector<LeaderboardRow> joinBoards(const std::vector<LeaderboardRow>& first,
                                       const std::vector<LeaderboardRow>& second) {
  std::vector<LeaderboardRow> rows;
  rows.reserve(first.size() + second.size());  // never moved: the names below point into it
  rows.insert(rows.end(), first.begin(), first.end());
  std::unordered_map<std::string_view, std::size_t> byName(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) byName.emplace(rows[i].playerName, i);
  for (const LeaderboardRow& row : second) {
    const auto found = byName.find(row.playerName);
    if (found == byName.end()) {
      rows.push_back(row);
      continue;
    }
    LeaderboardRow& line = rows[found->second];
    line.miles = addMiles(line.miles, row.miles);
    line.seconds += row.seconds;
    line.reports += row.reports;
    line.flaggedReports += row.flaggedReports;
    for (const auto& [serverId, totals] : row.servers) {
      ServerTotals& server = line.servers[serverId];
      server.miles = addMiles(server.miles, totals.miles);
      server.seconds += totals.seconds;
    }
    if (row.lastSeenMs > line.lastSeenMs) {
      line.lastSeenMs = row.lastSeenMs;
      line.lastTruck = row.lastTruck;
      line.lastTrailer = row.lastTrailer;
    }
  }
  // Ranked in the order of every board (fairplay.h), as the store ranks its own.
  std::sort(rows.begin(), rows.end(), [](const LeaderboardRow& a, const LeaderboardRow& b) {
    return ranksAbove(a.playerName, a.miles, b.playerName, b.miles);
  });
  for (std::size_t i = 0; i < rows.size(); ++i) {
    rows[i].rank = placed(rows[i].miles) ? static_cast<std::int64_t>(i) + 1 : 0;
  }
  return rows;
}

void sliceBoard(const std::vector<LeaderboardRow>& all, const BoardQuery& query, Board& board) {
  // The placed rows come first, in their order, then the others by name.
  const auto firstUnplaced = std::find_if(
      all.begin(), all.end(), [](const LeaderboardRow& row) { return !placed(row.miles); });
  const auto size = static_cast<std::int64_t>(firstUnplaced - all.begin());
  board.totalPlayers = size;
  board.rows.clear();
  board.unplaced.clear();
  for (auto row = firstUnplaced; row != all.end(); ++row) {
    if (query.player.empty() || row->playerName == query.player) board.unplaced.push_back(*row);
  }
  if (!query.player.empty()) {
    for (auto row = all.begin(); row != firstUnplaced; ++row) {
      if (row->playerName == query.player) board.rows.push_back(*row);
    }
    return;
  }
  const std::int64_t from = std::min(std::max<std::int64_t>(query.offset, 0), size);
  const std::int64_t until = std::min(size, from + std::max<std::int64_t>(query.limit, 0));
  board.rows.assign(all.begin() + from, all.begin() + until);
}

}  // namespace collector
