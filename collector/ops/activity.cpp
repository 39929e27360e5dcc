#include "ops/activity.h"

#include <cstdio>
#include <future>
#include <iostream>

#include "board/cache.h"
#include "core/text.h"
#include "ops/command.h"

namespace collector {

namespace {

// The whole board of `period`, through the board cache.
bool wholeBoard(BoardCache& boards, const Period& period, std::vector<LeaderboardRow>& rows) {
  ViewRequest request;
  request.key = "activity " + std::to_string(period.fromMs) + " " + std::to_string(period.untilMs);
  request.board = period;
  std::promise<BoardAnswer> answered;
  bool read = false;
  boards.view(
      request,
      [&rows, &read](const Sources& sources) {
        rows = *sources.board;
        read = true;
        return Rendered();
      },
      [&answered](BoardAnswer answer, const std::shared_ptr<const Rendered>&) {
        answered.set_value(answer);
      });
  return answered.get_future().get() == BoardAnswer::ok && read;
}

}  // namespace

void addActivityCommand(CLI::App& app, ActivityCommand& activity, std::string& db) {
  activity.command = app.add_subcommand(
      "activity",
      "each player's counted miles, hours and reports of a month, the latest report, and "
      "marks for under the minimum, no report in 30 days, never reported");
  addDatabaseOption(*activity.command, db);
  activity.command->add_option("--month", activity.month,
                               "the month YYYY-MM (default: the current UTC month)");
  addNumberOption(*activity.command, "--min-miles", activity.minMiles,
                  "mark players with fewer counted miles in the month", {0, 1000000, false});
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
  std::vector<PlayerInfo> players;
  std::string error;
  if (!store.listPlayers(players, error)) return failure(1, error);
  BoardCache boards(store, BoardCache::Limits());
  std::vector<LeaderboardRow> ofMonth, allTime;
  if (!wholeBoard(boards, month, ofMonth) || !wholeBoard(boards, Period{}, allTime)) {
    return failure(1, "the boards could not be read");
  }
  writeActivity(std::cout, activityRows(players, ofMonth, allTime, activity.minMiles, nowMs),
                activity.csv);
  return 0;
}

}  // namespace collector
