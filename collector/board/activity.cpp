#include "board/activity.h"

#include <date/date.h>

#include <unordered_map>

#include "core/text.h"

namespace collector {

std::vector<ActivityRow> activityRows(const std::vector<PlayerInfo>& players,
                                      const std::vector<LeaderboardRow>& month,
                                      const std::vector<LeaderboardRow>& allTime, double minMiles,
                                      std::int64_t nowMs) {
  std::unordered_map<std::string, const LeaderboardRow*> ofMonth, ever;
  for (const LeaderboardRow& row : month) ofMonth.emplace(row.playerName, &row);
  for (const LeaderboardRow& row : allTime) ever.emplace(row.playerName, &row);
  std::vector<ActivityRow> rows;
  for (const PlayerInfo& player : players) {
    if (player.revokedMs != 0) continue;
    ActivityRow row;
    row.name = player.name;
    if (auto found = ofMonth.find(player.name); found != ofMonth.end()) {
      row.miles = found->second->miles;
      row.seconds = found->second->seconds;
      row.reports = found->second->reports;
    }
    if (auto found = ever.find(player.name); found != ever.end()) {
      row.lastMs = found->second->lastSeenMs;
    }
    row.underMinimum = row.miles < minMiles;
    row.never = row.lastMs == 0;
    row.silent = !row.never && row.lastMs < nowMs - silentAfterMs;
    rows.push_back(std::move(row));
  }
  return rows;
}

bool monthPeriod(const std::string& text, Period& period) {
  std::int64_t first = 0;
  if (text.size() != 7 || !parseDay(text + "-01", first)) return false;
  const date::year_month_day day{date::sys_days{date::days{first}}};
  const date::year_month next = day.year() / day.month() + date::months{1};
  period.fromMs = first * msPerDay;
  period.untilMs = date::sys_days{next / 1}.time_since_epoch().count() * msPerDay;
  return true;
}

void writeActivity(std::ostream& out, const std::vector<ActivityRow>& rows, bool csv) {
  out << (csv ? "player_name,miles,hours,reports,last_report,under_minimum,silent_30_days,"
                "never_reported\n"
              : "player\tmiles\thours\treports\tlast report\tmarks\n");
  for (const ActivityRow& row : rows) {
    const std::string miles = fixedDecimals(row.miles, 3);
    const std::string hours = fixedDecimals(static_cast<double>(row.seconds) / 3600.0, 2);
    if (csv) {
      out << csvField(row.name) << ',' << miles << ',' << hours << ',' << row.reports << ','
          << (row.lastMs ? isoTime(row.lastMs) : "") << ',' << (row.underMinimum ? "yes" : "")
          << ',' << (row.silent ? "yes" : "") << ',' << (row.never ? "yes" : "") << '\n';
      continue;
    }
    std::string marks;
    const auto mark = [&marks](bool set, const char* words) {
      if (set) marks += (marks.empty() ? "" : ", ") + std::string(words);
    };
    mark(row.underMinimum, "under the minimum");
    mark(row.silent, "no report in 30 days");
    mark(row.never, "never reported");
    out << terminalSafe(row.name) << '\t' << miles << '\t' << hours << '\t' << row.reports << '\t'
        << (row.lastMs ? isoTime(row.lastMs) : "never") << '\t' << marks << '\n';
  }
}

}  // namespace collector
