// The collector's calendar: period tabs at the turns of weeks, months and
// years, the dates it takes, the days a chart spans.
#include <gtest/gtest.h>

#include "core/calendar.h"

namespace {

std::int64_t day(const std::string& text) {
  std::int64_t number = 0;
  EXPECT_TRUE(collector::parseDay(text, number)) << text;
  return number;
}

TEST(CollectorCalendar, TabsAreIsoWeeksAndMonthsAndChartsSpanShortPeriods) {
  const char* rows[][2] = {
      // today; this week, last week, this month, last month, chart
      {"2026-12-07", "12-07..12-13 11-30..12-06 12-01..12-31 11-01..11-30 12-07+7"},
      {"2026-12-06", "11-30..12-06 11-23..11-29 12-01..12-31 11-01..11-30 11-30+7"},
      {"2027-01-01", "12-28..01-03 12-21..12-27 01-01..01-31 12-01..12-31 12-28+7"},
      {"2024-03-31", "03-25..03-31 03-18..03-24 03-01..03-31 02-01..02-29 03-25+7"},
      {"1970-01-01", "12-29..01-04 12-22..12-28 01-01..01-31 12-01..12-31 12-29+7"}};
  for (const auto& row : rows) {
    std::string shown;
    const auto tabs = collector::periodTabs(day(row[0]));
    for (const auto& tab : tabs) {
      if (!tab.since.empty()) shown += tab.since.substr(5) + ".." + tab.until.substr(5) + " ";
    }
    collector::PeriodChoice choice;
    ASSERT_TRUE(collector::choosePeriod(&tabs[1].since, &tabs[1].until, day(row[0]), choice));
    const auto span = collector::chartSpan(choice.period, day(row[0]));
    EXPECT_EQ(shown + collector::dayText(span.first).substr(5) + "+" + std::to_string(span.count),
              row[1]);
  }
  const std::int64_t yearAgo = day("2025-12-07") * collector::msPerDay, today = day("2026-12-07");
  EXPECT_EQ(collector::chartSpan({yearAgo, today * collector::msPerDay}, today).count, 365);
  EXPECT_EQ(collector::chartSpan({yearAgo - 1, today * collector::msPerDay}, today).first,
            today - 29);
}

TEST(CollectorCalendar, TakesOnlyDatesThatExist) {
  std::int64_t number = 0;
  for (const char* bad : {"2026-02-29", "2026-13-01", "2026-00-10", "2026-04-31", "2026-1-05",
                          "2026-01-05 ", "+026-01-05", ""}) {
    EXPECT_FALSE(collector::parseDay(bad, number)) << bad;
  }
  EXPECT_EQ(day("2024-02-29"), 19782);
  EXPECT_EQ(collector::dayText(day("0001-03-01")), "0001-03-01");
}

TEST(CollectorCalendar, WritesDaysOfEveryYearInFull) {
  // Years of four digits are written by hand; the others as before.
  const std::pair<std::int64_t, const char*> rows[] = {
      {-719529, "-001-12-31"}, {-719528, "0000-01-01"}, {0, "1970-01-01"},
      {20795, "2026-12-08"},   {2932896, "9999-12-31"}, {2932897, "10000-01-01"}};
  for (const auto& [number, text] : rows) EXPECT_EQ(collector::dayText(number), text) << number;
}

}  // namespace
