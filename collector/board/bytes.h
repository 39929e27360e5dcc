// What the boards' values hold in memory, estimated from their sizes: the
// cache's room is counted in these.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "store/store.h"

namespace collector {

// Heap bytes of a string beyond the object itself (short ones live inside it).
std::size_t textBytes(const std::string& text);
std::size_t bytesOf(const std::vector<LeaderboardRow>& rows);
std::size_t bytesOf(const std::vector<DayTotals>& days);
// A player's days and latest reports (not its totals' row).
std::size_t bytesOf(const PlayerView& view);

}  // namespace collector
