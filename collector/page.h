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

// The whole page: rank, player, miles, hours, one column per known server,
// last truck and trailer, last seen.
std::string renderLeaderboardPage(const std::vector<LeaderboardRow>& rows,
                                  const std::string& periodText);

}  // namespace collector
