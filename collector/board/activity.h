// Each player's month, for a community's monthly minimum and its leave: what
// `vorn-collector activity` prints and the staff console shows, from the
// month's board and the all-time board.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "core/calendar.h"
#include "store/store.h"

namespace collector {

// A player who reported nothing for longer than this is marked silent.
constexpr std::int64_t silentAfterMs = 30 * msPerDay;

// One player's line: the month's counted amounts, the latest report of all
// time and the marks.
struct ActivityRow {
  std::string name;
  double miles = 0.0;
  std::int64_t seconds = 0;
  std::int64_t reports = 0;
  std::int64_t lastMs = 0;  // the latest report, counted or flagged; 0: none
  bool underMinimum = false;
  bool silent = false;  // reported, but not within silentAfterMs
  bool never = false;   // never reported
};

// Every player not revoked, by name, from the board of the month and the
// all-time board (for the latest report).
std::vector<ActivityRow> activityRows(const std::vector<PlayerInfo>& players,
                                      const std::vector<LeaderboardRow>& month,
                                      const std::vector<LeaderboardRow>& allTime, double minMiles,
                                      std::int64_t nowMs);

// The month YYYY-MM as a period; false when it is not one.
bool monthPeriod(const std::string& text, Period& period);

// The rows as a table for the terminal, or as CSV; every text terminal-safe.
void writeActivity(std::ostream& out, const std::vector<ActivityRow>& rows, bool csv);

}  // namespace collector
