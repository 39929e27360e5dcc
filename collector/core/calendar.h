// UTC days, the periods a board or a player is shown for, and the days a chart
// spans. Calendar arithmetic comes from Howard Hinnant's date library; days are
// counted since 1970-01-01.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace collector {

constexpr std::int64_t msPerDay = 86400000;

// A time window of received_ms: from <= t < until.
struct Period {
  std::int64_t fromMs = std::numeric_limits<std::int64_t>::min();
  std::int64_t untilMs = std::numeric_limits<std::int64_t>::max();
};

// The UTC day of a time, days since 1970-01-01.
std::int64_t dayOf(std::int64_t ms);
// The days [fromDay, untilDay) a period covers; the all-time bounds map to
// days far beyond any report.
void daysOf(const Period& period, std::int64_t& fromDay, std::int64_t& untilDay);
bool isAllTime(const Period& period);

// The day as YYYY-MM-DD.
std::string dayText(std::int64_t day);
// A calendar date YYYY-MM-DD (exactly ten characters, a date that exists).
bool parseDay(const std::string& text, std::int64_t& day);

// One of the periods offered as tabs: All time, This week, Last week (ISO weeks,
// from Monday), This month, Last month. `since` and `until` are the query's
// values (both days included), empty for an open end.
struct PeriodTab {
  const char* label;
  std::string since;
  std::string until;
};
std::vector<PeriodTab> periodTabs(std::int64_t today);

// The period of ?since=&until=, as asked.
struct PeriodChoice {
  std::string since;  // as given, empty when absent
  std::string until;
  Period period;
  std::string text;  // "This week, 2026-11-30 to 2026-12-06", "From 2026-01-01", ...
  int tab = -1;      // index into periodTabs(today) when it is one of them
};
// False when since or until is given but not a date.
bool choosePeriod(const std::string* since, const std::string* until, std::int64_t today,
                  PeriodChoice& choice);

// The days a chart of `period` shows: all of the period when it is shorter than
// a year, otherwise the last 30 days up to today.
struct DaySpan {
  std::int64_t first = 0;
  std::int64_t count = 0;
  Period period() const { return {first * msPerDay, (first + count) * msPerDay}; }
};
DaySpan chartSpan(const Period& period, std::int64_t today);

}  // namespace collector
