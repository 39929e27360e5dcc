// Per-server speed limits, the words a flagged report is explained in, and
// movement on the all-time board; the marks of the activity report.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/fairplay.h"
#include "core/ranking.h"
#include "core/report.h"
#include "core/text.h"
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
      {"Finn", 0.0, 1},    // a flagged report before: no place then (or now)
      {"Gus", 0.0, 1},     // only a flagged report of late: no place
  };
  const std::vector<collector::Standing> recent = {
      {"Cleo", 250.0, 3}, {"Bea", 50.05, 2}, {"Eve", 40.0, 1}, {"Gus", 0.0, 1}};
  EXPECT_EQ(collector::ranksBefore(now, recent), (std::vector<std::int64_t>{4, 1, 2, 3, 0, 0, 0}));
  EXPECT_EQ(collector::ranksBefore(now, {}), (std::vector<std::int64_t>{1, 2, 3, 4, 5, 0, 0}));
}

}  // namespace

TEST(CollectorActivity, MarksAndMonths) {
  using collector::msPerDay;
  collector::Period month;
  ASSERT_TRUE(collector::monthPeriod("2026-11", month));  // 30 days, a minimum of 10 miles a day
  const std::int64_t first = month.fromMs / msPerDay, now = month.untilMs;
  const struct {
    const char* name;
    std::int64_t addedMs, revokedMs;
    double miles;
    std::vector<std::pair<std::int64_t, std::int64_t>> leave;  // days after the 1st
    std::int64_t countedMs, anyMs;
    const char* expected;  // "minimum marks", or "" when not listed
  } rows[] = {
      {"At minimum", month.fromMs - 1, 0, 300.0, {}, now, now, "300.000 "},
      {"Below", month.fromMs - 1, 0, 299.999999, {}, now, now, "300.000 under"},
      {"Added on the 1st", month.fromMs, 0, 0.0, {}, now, now, "300.000 under"},
      {"Added on the 29th", month.fromMs + 28 * msPerDay, 0, 20.0, {}, now, now, "20.000 "},
      {"Added on the last day", now - 1, 0, 9.999, {}, now, now, "10.000 under"},
      {"Added after", now, 0, 0.0, {}, now, now, ""},
      {"Revoked the day before", 0, month.fromMs - 1, 5.0, {}, now, now, ""},
      {"Revoked on the 1st", 0, month.fromMs, 10.0, {}, now, now, "10.000 revoked 2026-11-01"},
      {"Revoked after", 0, now + msPerDay, 0.0, {}, now, now, "300.000 revoked 2026-12-02,under"},
      {"Leave all month", 0, 0, 0.0, {{-3, 40}}, now, now, "0.000 on leave 30 days"},
      {"Leave overlapping", 0, 0, 149.0, {{0, 9}, {5, 14}}, now, now,
       "150.000 on leave 15 days,under"},
      {"Leave, joined midway", month.fromMs + 20 * msPerDay, 0, 0.0, {{15, 24}}, now, now,
       "50.000 on leave 5 days,under"},
      {"Rejected latest", 0, 0, 300.0, {}, now - 30 * msPerDay - 1, now, "300.000 silent"},
      {"Counted 30 days ago", 0, 0, 300.0, {}, now - 30 * msPerDay, now, "300.000 "},
      {"Flagged only", 0, 0, 0.0, {}, 0, now, "300.000 under,silent"},
      {"Never", 0, 0, 0.0, {}, 0, 0, "300.000 under,never"},
  };
  collector::ActivitySources sources;
  for (const auto& row : rows) {
    sources.players.push_back({row.name, row.addedMs, row.revokedMs});
    collector::LeaderboardRow line;
    line.playerName = row.name;
    line.miles = row.miles;
    sources.month.push_back(line);
    sources.lasts.push_back({row.name, row.countedMs, row.anyMs});
    for (const auto& [from, to] : row.leave) {
      sources.leave.push_back({row.name, first + from, first + to});
    }
  }
  const auto listed = collector::activityRows(sources, month, 300.0, now);
  auto at = listed.begin();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    if (!*row.expected) continue;
    ASSERT_NE(at, listed.end());
    std::string marks;
    for (std::string mark : collector::activityMarks(*at)) {
      mark = mark == "under the minimum" ? "under" : mark;
      mark = mark == "no counted report in 30 days" ? "silent" : mark;
      mark = mark == "never reported" ? "never" : mark;
      marks += (marks.empty() ? "" : ",") + mark;
    }
    EXPECT_EQ(at->name + ": " + collector::fixedDecimals(at->minimum, 3) + " " + marks,
              std::string(row.name) + ": " + row.expected);
    ++at;
  }
  EXPECT_EQ(at, listed.end());

  // The minimum owed rounds half up to a thousandth of a mile.
  const collector::ActivitySources one{{{"Late", now - 1, 0}}, {}, {}, {}};
  EXPECT_EQ(collector::activityRows(one, month, 0.374, now)[0].minimum, 0.012);  // 0.01246
  EXPECT_EQ(collector::activityRows(one, month, 0.375, now)[0].minimum, 0.013);  // 0.0125
  EXPECT_EQ(collector::activityRows(one, month, 100.0, now)[0].minimum, 3.333);

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
