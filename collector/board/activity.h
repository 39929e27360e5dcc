// Each player's month, for a community's monthly minimum and its leave: what
// `vorn-collector activity` prints and the staff console shows, from the
// month's board, the players' latest reports and their leave.
//
// Who is listed: every player added before the month ended and not revoked
// before it began (a player revoked during or after it is listed, marked).
// The minimum is owed pro rata over the player's days of the month: from the
// UTC day they were added (or the 1st) to the day they were revoked (or the
// last day), both included, less the days on leave among them (overlapping
// leave periods count each day once):
//   minimum × days owed / days in the month, rounded half up to 0.001 mile.
// A player is under the minimum when their counted miles of the month are
// less than that; owing no day, they owe nothing.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "core/calendar.h"
#include "store/store.h"

namespace collector {

// A player who made no counted report for longer than this is marked silent.
constexpr std::int64_t silentAfterMs = 30 * msPerDay;

// One player's line: the month's counted amounts, the latest reports of all
// time, the minimum owed and the marks.
struct ActivityRow {
  std::string name;
  std::int64_t addedMs = 0;
  std::int64_t revokedMs = 0;  // 0: not revoked
  double miles = 0.0;
  std::int64_t seconds = 0;
  std::int64_t reports = 0;
  std::int64_t lastMs = 0;     // the latest counted report; 0: none
  std::int64_t latestMs = 0;   // the latest report of any kind; 0: none
  std::int64_t leaveDays = 0;  // days of the month on leave
  double minimum = 0.0;        // the miles owed this month, pro rata
  bool underMinimum = false;
  bool silent = false;  // reported, but nothing counted within silentAfterMs
  bool never = false;   // never reported
};

// What a month's report is made of, as the store gives it.
struct ActivitySources {
  std::vector<PlayerInfo> players;
  std::vector<LeaderboardRow> month;  // the month's board
  std::vector<PlayerLasts> lasts;
  std::vector<PlayerLeave> leave;  // the leave sharing a day with the month
};

// The listed players' rows, by name, for the month `month` (whole UTC days).
std::vector<ActivityRow> activityRows(const ActivitySources& sources, const Period& month,
                                      double minMiles, std::int64_t nowMs);

// Reads the sources of `month` from the store and makes its rows.
bool readActivity(Store& store, const Period& month, double minMiles, std::int64_t nowMs,
                  std::vector<ActivityRow>& rows, std::string& error);

// The month YYYY-MM as a period; false when it is not one.
bool monthPeriod(const std::string& text, Period& period);

// The row's marks in words: "under the minimum", "revoked", ...
std::vector<std::string> activityMarks(const ActivityRow& row);

// The rows as a table for the terminal, or as CSV; every text terminal-safe.
void writeActivity(std::ostream& out, const std::vector<ActivityRow>& rows, bool csv);

}  // namespace collector
