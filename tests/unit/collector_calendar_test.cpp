// The collector's calendar: the period tabs around the turns of weeks, months
// and years, the dates it takes and the days a chart spans.
#include <gtest/gtest.h>

#include "calendar.h"

namespace {

std::int64_t day(const std::string& text) {
  std::int64_t number = 0;
  EXPECT_TRUE(collector::parseDay(text, number)) << text;
  return number;
}

TEST(CollectorCalendar, TabsFollowIsoWeeksAndCalendarMonths) {
  struct Row {
    const char* today;
    const char* thisWeek;  // since..until, then the last week, this month and the last month
    const char* lastWeek;
    const char* thisMonth;
    const char* lastMonth;
  } rows[] = {
      {"2026-12-07", "2026-12-07..2026-12-13", "2026-11-30..2026-12-06", "2026-12-01..2026-12-31",
       "2026-11-01..2026-11-30"},
      {"2026-12-06", "2026-11-30..2026-12-06", "2026-11-23..2026-11-29", "2026-12-01..2026-12-31",
       "2026-11-01..2026-11-30"},
      {"2027-01-01", "2026-12-28..2027-01-03", "2026-12-21..2026-12-27", "2027-01-01..2027-01-31",
       "2026-12-01..2026-12-31"},
      {"2024-03-31", "2024-03-25..2024-03-31", "2024-03-18..2024-03-24", "2024-03-01..2024-03-31",
       "2024-02-01..2024-02-29"},
      {"1969-12-31", "1969-12-29..1970-01-04", "1969-12-22..1969-12-28", "1969-12-01..1969-12-31",
       "1969-11-01..1969-11-30"},
  };
  for (const Row& row : rows) {
    const auto tabs = collector::periodTabs(day(row.today));
    ASSERT_EQ(tabs.size(), 5u);
    EXPECT_EQ(tabs[0].since + tabs[0].until, "");
    const char* expected[] = {row.thisWeek, row.lastWeek, row.thisMonth, row.lastMonth};
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(tabs[i + 1].since + ".." + tabs[i + 1].until, expected[i]) << row.today;
      collector::PeriodChoice choice;
      ASSERT_TRUE(collector::choosePeriod(&tabs[i + 1].since, &tabs[i + 1].until, day(row.today),
                                          choice));
      EXPECT_EQ(choice.tab, i + 1);
      EXPECT_EQ(collector::dayOf(choice.period.untilMs - 1), day(tabs[i + 1].until));
    }
  }
}

TEST(CollectorCalendar, TakesOnlyDatesThatExist) {
  std::int64_t number = 0;
  for (const char* bad : {"2026-02-29", "2026-13-01", "2026-00-10", "2026-04-31", "2026-1-05",
                          "2026-01-05 ", "+026-01-05", "today", ""}) {
    EXPECT_FALSE(collector::parseDay(bad, number)) << bad;
  }
  EXPECT_EQ(day("1970-01-01"), 0);
  EXPECT_EQ(day("2024-02-29"), 19782);
  EXPECT_EQ(collector::dayText(day("0001-03-01")), "0001-03-01");
  EXPECT_EQ(collector::dayOf(-1), -1);
}

TEST(CollectorCalendar, ChartsSpanShortPeriodsElseTheLast30Days) {
  const std::int64_t today = day("2026-12-07");
  const auto span = [&](const char* since, const char* until) {
    collector::PeriodChoice choice;
    const std::string from = since, to = until;
    EXPECT_TRUE(collector::choosePeriod(since[0] ? &from : nullptr, until[0] ? &to : nullptr,
                                        today, choice));
    const collector::DaySpan days = collector::chartSpan(choice.period, today);
    return collector::dayText(days.first) + "+" + std::to_string(days.count);
  };
  EXPECT_EQ(span("2026-12-07", "2026-12-13"), "2026-12-07+7");
  EXPECT_EQ(span("2025-12-08", "2026-12-07"), "2025-12-08+365");
  EXPECT_EQ(span("2025-12-07", "2026-12-07"), "2026-11-08+30");
  EXPECT_EQ(span("2026-12-01", ""), "2026-11-08+30");
  EXPECT_EQ(span("", ""), "2026-11-08+30");
}

}  // namespace
