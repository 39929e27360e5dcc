// The order of every board, and a player's movement on the all-time board.
// Pure functions, no I/O.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace collector {

// A player's standing on a board: what ranks it, whether it is on it, and
// what a results message says of it.
struct Standing {
  std::string name;
  double miles = 0.0;        // counted
  std::int64_t reports = 0;  // counted and flagged
  std::int64_t seconds = 0;  // counted
};

// The order of every board: more counted miles first, miles that agree to a
// millionth of a mile (the plug-in's precision) a tie, ties by name.
bool ranksAbove(const std::string& nameA, double milesA, const std::string& nameB, double milesB);

// Whether a player with these counted miles has a place on a board: only
// with counted miles (to a millionth of a mile). A player whose reports of
// the period are all flagged is listed apart, with no place.
bool placed(double miles);

// For each player of the all-time board `now`, in its order, its rank on the
// board as it stood before the reports of `recent` (the board of the latest
// days) were made: the totals of `now` less those of `recent`. 0 for a player
// who had no place on it then.
std::vector<std::int64_t> ranksBefore(const std::vector<Standing>& now,
                                      const std::vector<Standing>& recent);

}  // namespace collector
