// The all-time board with each player's movement: its rank on the all-time
// board as it stood at 00:00 UTC seven days earlier.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/calendar.h"
#include "store/store.h"

namespace collector {

// How many days back the all-time board's movement looks, from 00:00 UTC.
constexpr std::int64_t movementDays = 7;

// Sets rankThen on each row of the all-time board `rows` from the board of
// the latest days.
void setRanksThen(std::vector<LeaderboardRow>& rows, const std::vector<LeaderboardRow>& latest);

}  // namespace collector
