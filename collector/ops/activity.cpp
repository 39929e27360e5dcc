#include "ops/activity.h"

#include <iostream>

#include "core/text.h"
#include "ops/command.h"

namespace collector {

void addActivityCommand(CLI::App& app, ActivityCommand& activity, std::string& db) {
  activity.command = app.add_subcommand(
      "activity",
      "each player's day added, counted miles, hours and reports of a month, the minimum owed "
      "(pro rata to the days added, not revoked and not on leave), the latest counted report "
      "and the latest of any kind, and marks for revoked, on leave, under the minimum, no "
      "counted report in 30 days, never reported");
  addDatabaseOption(*activity.command, db);
  activity.command->add_option("--month", activity.month,
                               "the month YYYY-MM (default: the current UTC month)");
  addNumberOption(*activity.command, "--min-miles", activity.minMiles,
                  "the month's minimum of counted miles, owed pro rata (see the operator's guide)",
                  {0, 1000000, false});
  activity.command->add_flag("--csv", activity.csv, "write CSV rather than a table");
}

int runActivityCommand(Store& store, const ActivityCommand& activity) {
  const std::int64_t nowMs = wallClockMs();
  Period month;
  const std::string text =
      activity.month.empty() ? dayText(dayOf(nowMs)).substr(0, 7) : activity.month;
  if (!monthPeriod(text, month)) {
    return failure(2, "--month wants YYYY-MM, got '" + activity.month + "'");
  }
  std::vector<ActivityRow> rows;
  std::string error;
  if (!readActivity(store, month, activity.minMiles, nowMs, rows, error)) return failure(1, error);
  writeActivity(std::cout, rows, activity.csv);
  return 0;
}

}  // namespace collector
