#include "core/calendar.h"

#include <date/date.h>

#include <cstdio>

namespace collector {

std::int64_t dayOf(std::int64_t ms) { return ms / msPerDay - (ms % msPerDay < 0 ? 1 : 0); }

bool isAllTime(const Period& period) {
  return period.fromMs == Period{}.fromMs && period.untilMs == Period{}.untilMs;
}

void daysOf(const Period& period, std::int64_t& fromDay, std::int64_t& untilDay) {
  // Far beyond any report, and far from overflowing.
  constexpr std::int64_t farDay = std::int64_t{1} << 40;
  const auto startingDay = [](std::int64_t ms) {
    const std::int64_t day = dayOf(ms);
    return day * msPerDay == ms ? day : day + 1;
  };
  fromDay = period.fromMs == Period{}.fromMs ? -farDay : startingDay(period.fromMs);
  untilDay = period.untilMs == Period{}.untilMs ? farDay : startingDay(period.untilMs);
}

namespace {

date::sys_days sysDays(std::int64_t day) { return date::sys_days{date::days{day}}; }
std::int64_t dayNumber(date::sys_days day) { return day.time_since_epoch().count(); }

}  // namespace

std::string dayText(std::int64_t day) {
  const date::year_month_day ymd{sysDays(day)};
  const int year = static_cast<int>(ymd.year());
  const auto month = static_cast<unsigned>(ymd.month());
  const auto dayOfMonth = static_cast<unsigned>(ymd.day());
  if (year < 0 || year > 9999) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", year, month, dayOfMonth);
    return text;
  }
  // Written by hand: every board request names its period's days, and a
  // formatted print of each costs more than the rest of the choice together.
  std::string text = "0000-00-00";
  const auto put = [&text](std::size_t last, unsigned value, int width) {
    for (; width-- > 0; value /= 10) text[last--] = static_cast<char>('0' + value % 10);
  };
  put(3, static_cast<unsigned>(year), 4);
  put(6, month, 2);
  put(9, dayOfMonth, 2);
  return text;
}

bool parseDay(const std::string& text, std::int64_t& day) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  const date::year_month_day ymd{date::year{std::stoi(text.substr(0, 4))},
                                 date::month{static_cast<unsigned>(std::stoi(text.substr(5, 2)))},
                                 date::day{static_cast<unsigned>(std::stoi(text.substr(8, 2)))}};
  if (!ymd.ok()) return false;
  day = dayNumber(date::sys_days{ymd});
  return true;
}

std::vector<PeriodTab> periodTabs(std::int64_t today) {
  using namespace date;
  const sys_days now = sysDays(today);
  const sys_days monday = now - (weekday{now} - Monday);
  const year_month month = year_month_day{now}.year() / year_month_day{now}.month();
  const year_month previous = month - months{1};
  auto tab = [](const char* label, sys_days first, sys_days last) {
    return PeriodTab{label, dayText(dayNumber(first)), dayText(dayNumber(last))};
  };
  return {{"All time", "", ""},
          tab("This week", monday, monday + days{6}),
          tab("Last week", monday - days{7}, monday - days{1}),
          tab("This month", sys_days{month / 1}, sys_days{month / last}),
          tab("Last month", sys_days{previous / 1}, sys_days{previous / last})};
}

bool choosePeriod(const std::string* since, const std::string* until, std::int64_t today,
                  PeriodChoice& choice) {
  std::int64_t day = 0;
  choice = PeriodChoice{};
  if (since) {
    if (!parseDay(*since, day)) return false;
    choice.since = *since;
    choice.period.fromMs = day * msPerDay;
  }
  if (until) {
    if (!parseDay(*until, day)) return false;
    choice.until = *until;
    choice.period.untilMs = (day + 1) * msPerDay;
  }
  const std::vector<PeriodTab> tabs = periodTabs(today);
  for (std::size_t i = 0; i < tabs.size(); ++i) {
    if (tabs[i].since == choice.since && tabs[i].until == choice.until) {
      choice.tab = static_cast<int>(i);
      choice.text = tabs[i].label;
      if (i) choice.text += ", " + choice.since + " to " + choice.until;
      return true;
    }
  }
  if (since) choice.text = "From " + choice.since;
  if (until) choice.text += (since ? " until " : "Until ") + choice.until;
  return true;
}

DaySpan chartSpan(const Period& period, std::int64_t today) {
  const Period all;
  if (period.fromMs != all.fromMs && period.untilMs != all.untilMs) {
    const std::int64_t first = dayOf(period.fromMs);
    const std::int64_t count = dayOf(period.untilMs - 1) - first + 1;
    if (count < 366) return {first, count < 1 ? 1 : count};  // until before since: one day
  }
  return {today - 29, 30};
}

}  // namespace collector
