// Per-server speed limits, the words a flagged report is explained in, and
// movement on the all-time board; the marks of the activity report.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/fairplay.h"
#include "core/ranking.h"
#include "core/report.h"
#include "ops/activity.h"
#include "vorn_deployment.h"

namespace {

using collector::SpeedLimits;

TEST(CollectorFairPlay, EachServerHasItsOwnLimitOrTheCommonOne) {
  const std::string limited = deployment::knownServerIds[0];
  const std::string open = deployment::knownServerIds[1];
  SpeedLimits limits;
  limits.everyServerMph = 110.0;
  std::string message;
  ASSERT_TRUE(collector::addServerLimit(limited + "=80", limits, message)) << message;
  struct Row {
    const char* name;
    const std::string& server;
    double miles;
    std::int64_t seconds;
    bool flagged;
  } rows[] = {
      // Whole seconds carry up to one more second of miles.
      {"exactly at the server's own limit", limited, 80.0 * 61 / 3600, 60, false},
      {"just above the server's own limit", limited, 80.0 * 61 / 3600 + 1e-6, 60, true},
      {"at the common limit on a server without its own", open, 110.0 * 61 / 3600, 60, false},
      {"just above the common limit", open, 110.0 * 61 / 3600 + 1e-6, 60, true},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(collector::exceedsSpeed(row.miles, row.seconds, limits.forServer(row.server)),
              row.flagged)
        << row.name;
  }

  struct Refused {
    std::string value;
    const char* says;
  } refused[] = {
      {limited + "=90", "given twice"},
      {"90112233445566772/999=80", "not one of this build's servers"},
      {open, "wants ID=MPH"},
      {open + "=", "wants ID=MPH"},
      // The number itself: the table of options (collector_options_test).
  };
  for (const Refused& row : refused) {
    EXPECT_FALSE(collector::addServerLimit(row.value, limits, message)) << row.value;
    EXPECT_NE(message.find(row.says), std::string::npos) << row.value << ": " << message;
  }
  EXPECT_EQ(limits.serverMph.size(), 1u);
}

TEST(CollectorFairPlay, FlagsAndReviewsInWords) {
  struct Row {
    collector::FlagFacts facts;
    const char* words;
  } rows[] = {
      {{"speed", 50.0, 60, 110.0}, "50.0 miles in 60 s: 3,000 mph, above this server's 110 mph"},
      {{"speed", 1234.56, 3600, 80.5},
       "1,234.6 miles in 3,600 s: 1,235 mph, above this server's 80.5 mph"},
      {{"speed", 0.5, 0, 110.0}, "0.5 miles in 0 s of driving, above this server's 110 mph"},
      {{"speed", 50.0, 60, 0.0}, "50.0 miles in 60 s: 3,000 mph, above the speed limit"},
      {{"wall_time", 0.0, 600, 12.9}, "600 s of driving 12 s after the previous report"},
      {{"wall_time", 0.0, 600, 12.9, true}, "600 s of driving 12 s since the player was added"},
      {{"wall_time", 0.0, 600, 0.0},
       "600 s of driving, more than had passed since the previous report"},
  };
  for (const Row& row : rows) EXPECT_EQ(collector::flagExplanation(row.facts), row.words);
  EXPECT_EQ(collector::reviewText(""), "waiting for review");
  EXPECT_EQ(collector::reviewText("accepted"), "counted after review");
  EXPECT_EQ(collector::reviewText("rejected"), "kept out after review");
}

TEST(CollectorFairPlay, RanksBeforeTheLatestDaysWithTiesAndNewPlayers) {
  // The all-time board, in its order, and what the latest days added to it.
  const std::vector<collector::Standing> now = {
      {"Cleo", 300.0, 6},  // overtook both with 250 miles of late
      {"Bea", 100.1, 4},   // half of it of late: ties Dan before, first by name
      {"Dan", 50.05, 2},   // nothing of late
      {"Ann", 50.0, 3},    // nothing of late
      {"Eve", 40.0, 1},    // all of it of late: new
      {"Finn", 0.0, 1},    // a flagged report before: on the board then
      {"Gus", 0.0, 1},     // only a flagged report of late: new
  };
  const std::vector<collector::Standing> recent = {
      {"Cleo", 250.0, 3}, {"Bea", 50.05, 2}, {"Eve", 40.0, 1}, {"Gus", 0.0, 1}};
  EXPECT_EQ(collector::ranksBefore(now, recent), (std::vector<std::int64_t>{4, 1, 2, 3, 0, 5, 0}));
  EXPECT_EQ(collector::ranksBefore(now, {}), (std::vector<std::int64_t>{1, 2, 3, 4, 5, 6, 7}));
}

}  // namespace

TEST(CollectorActivity, MarksAndMonths) {
  using collector::msPerDay;
  const std::int64_t now = 1000 * msPerDay;
  const auto row = [](const char* name, double miles, std::int64_t lastMs) {
    collector::LeaderboardRow line;
    line.playerName = name;
    line.miles = miles;
    line.lastSeenMs = lastMs;
    return line;
  };
  const std::vector<collector::PlayerInfo> players = {
      {"At minimum", 1, 0}, {"Below", 1, 0},          {"Gone", 1, 5},
      {"Never", 1, 0},      {"Silent 30 days", 1, 0}, {"Silent longer", 1, 0}};
  const std::vector<collector::LeaderboardRow> month = {row("At minimum", 100.0, now),
                                                        row("Below", 99.999, now)};
  const std::vector<collector::LeaderboardRow> allTime = {
      row("At minimum", 500.0, now), row("Below", 99.999, now),
      row("Silent 30 days", 1.0, now - 30 * msPerDay),
      row("Silent longer", 1.0, now - 30 * msPerDay - 1), row("Gone", 1.0, now)};
  std::string marks;
  for (const auto& line : collector::activityRows(players, month, allTime, 100.0, now)) {
    marks += line.name + ":" + (line.underMinimum ? "u" : "") + (line.silent ? "s" : "") +
             (line.never ? "n" : "") + " ";
  }
  EXPECT_EQ(marks, "At minimum: Below:u Never:un Silent 30 days:u Silent longer:us ");

  collector::Period period;
  ASSERT_TRUE(collector::monthPeriod("2024-02", period));
  EXPECT_EQ(collector::dayText(period.fromMs / msPerDay) + " " +
                collector::dayText(period.untilMs / msPerDay),
            "2024-02-01 2024-03-01");
  ASSERT_TRUE(collector::monthPeriod("2026-12", period));
  EXPECT_EQ(collector::dayText(period.untilMs / msPerDay), "2027-01-01");
  for (const char* bad : {"2026-13", "2026-00", "2026-1", "2026-12-01", "202a-01"}) {
    EXPECT_FALSE(collector::monthPeriod(bad, period)) << bad;
  }
}
