// A board's rows as the routes page them, and the board of two periods
// joined from the boards of each.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/calendar.h"
#include "store/store.h"

namespace collector {

// One page of the leaderboard of a period.
struct BoardQuery {
  Period period;
  std::int64_t limit = 100;  // 1..1000
  std::int64_t offset = 0;   // rows skipped
  std::string player;        // not empty: only that player's row, with its rank
};
struct Board {
  std::int64_t totalPlayers = 0;     // players with a place: counted miles in the period
  std::vector<LeaderboardRow> rows;  // rank set on each
  // The players who reported in the period but have nothing counted yet (all
  // their reports flagged), by name, whatever the page; no place (rank 0).
  std::vector<LeaderboardRow> unplaced;
};

// The board of two periods that share no day, as the board of both: each
// player's lines summed as the store sums its totals, ranked again.
std::vector<LeaderboardRow> joinBoards(const std::vector<LeaderboardRow>& first,
                                       const std::vector<LeaderboardRow>& second);

// The page or the player's row of a whole ranked board, and its players with
// no place (the one asked for, with a player).
void sliceBoard(const std::vector<LeaderboardRow>& all, const BoardQuery& query, Board& board);

}  // namespace collector
