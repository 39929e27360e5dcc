// The leaderboard as a page a person reads.
#pragma once

#include <string>
#include <vector>

#include "store.h"

namespace collector {

// Text with &, <, >, " and ' replaced by their HTML entities.
std::string escapeHtml(const std::string& text);

// An ISO 8601 UTC time stamp, as 2026-05-04T13:02:09Z.
std::string isoTime(std::int64_t ms);

// The page of one page of the board: rank, player, miles, hours, one column
// per known server, last truck and trailer, last seen; links to the previous
// and next pages and a box to find a player. `periodParams` are the period's
// query parameters ("since=...&until=...", or "").
std::string renderLeaderboardPage(const Board& board, const BoardQuery& query,
                                  const std::string& periodText, const std::string& periodParams);

}  // namespace collector
