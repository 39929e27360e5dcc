#include "board/activity.h"

#include <date/date.h>

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "core/text.h"

namespace collector {

namespace {

// A player's days of the month, [first, last], and how many of them the
// player's leave covers, each day once.
std::int64_t daysOnLeave(const std::vector<const PlayerLeave*>& leave, std::int64_t first,
                         std::int64_t last) {
  if (last < first) return 0;
  std::vector<bool> away(static_cast<std::size_t>(last - first + 1), false);
  for (const PlayerLeave* period : leave) {
    for (std::int64_t day = std::max(first, period->fromDay); day <= std::min(last, period->toDay);
         ++day) {
      away[static_cast<std::size_t>(day - first)] = true;
    }
  }
  return std::count(away.begin(), away.end(), true);
}

// The miles owed over `owed` days of a month of `days` days, rounded half up
// to a thousandth of a mile.
double minimumOwed(double minMiles, std::int64_t owed, std::int64_t days) {
  return std::floor(minMiles * 1000.0 * static_cast<double>(owed) / static_cast<double>(days) +
                    0.5) /
         1000.0;
}

std::int64_t micro(double miles) { return std::llround(miles * 1e6); }

}  // namespace

std::vector<ActivityRow> activityRows(const ActivitySources& sources, const Period& month,
                                      double minMiles, std::int64_t nowMs) {
  std::unordered_map<std::string, const LeaderboardRow*> ofMonth;
  std::unordered_map<std::string, const PlayerLasts*> lasts;
  std::unordered_map<std::string, std::vector<const PlayerLeave*>> leave;
  for (const LeaderboardRow& row : sources.month) ofMonth.emplace(row.playerName, &row);
  for (const PlayerLasts& last : sources.lasts) lasts.emplace(last.name, &last);
  for (const PlayerLeave& period : sources.leave) leave[period.name].push_back(&period);
  std::int64_t fromDay = 0, untilDay = 0;
  daysOf(month, fromDay, untilDay);
  std::vector<ActivityRow> rows;
  for (const PlayerInfo& player : sources.players) {
    if (player.createdMs >= month.untilMs) continue;
    if (player.revokedMs != 0 && player.revokedMs < month.fromMs) continue;
    ActivityRow row;
    row.name = player.name;
    row.addedMs = player.createdMs;
    row.revokedMs = player.revokedMs;
    if (auto found = ofMonth.find(player.name); found != ofMonth.end()) {
      row.miles = found->second->miles;
      row.seconds = found->second->seconds;
      row.reports = found->second->reports;
    }
    if (auto found = lasts.find(player.name); found != lasts.end()) {
      row.lastMs = found->second->countedMs;
      row.latestMs = found->second->anyMs;
    }
    const std::int64_t first = std::max(fromDay, dayOf(player.createdMs));
    const std::int64_t last =
        player.revokedMs ? std::min(untilDay - 1, dayOf(player.revokedMs)) : untilDay - 1;
    row.leaveDays = daysOnLeave(leave[player.name], first, last);
    const std::int64_t owed = std::max<std::int64_t>(0, last - first + 1 - row.leaveDays);
    row.minimum = minimumOwed(minMiles, owed, untilDay - fromDay);
    row.underMinimum = micro(row.miles) < micro(row.minimum);
    row.never = row.latestMs == 0;
    row.silent = !row.never && row.lastMs < nowMs - silentAfterMs;
    rows.push_back(std::move(row));
  }
  return rows;
}

bool readActivity(Store& store, const Period& month, double minMiles, std::int64_t nowMs,
                  std::vector<ActivityRow>& rows, std::string& error) {
  ActivitySources sources;
  std::int64_t fromDay = 0, untilDay = 0;
  daysOf(month, fromDay, untilDay);
  if (!store.listPlayers(sources.players, error) ||
      !store.leaderboard(month, sources.month, error) || !store.playerLasts(sources.lasts, error) ||
      !store.listLeave(fromDay, untilDay, sources.leave, error)) {
    return false;
  }
  rows = activityRows(sources, month, minMiles, nowMs);
  return true;
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

std::vector<std::string> activityMarks(const ActivityRow& row) {
  std::vector<std::string> marks;
  if (row.revokedMs) marks.push_back("revoked " + dayText(dayOf(row.revokedMs)));
  if (row.leaveDays) marks.push_back("on leave " + counted(row.leaveDays, "day"));
  if (row.underMinimum) marks.push_back("under the minimum");
  if (row.silent) marks.push_back("no counted report in 30 days");
  if (row.never) marks.push_back("never reported");
  return marks;
}

namespace {

std::string timeOrEmpty(std::int64_t ms) { return ms ? isoTime(ms) : ""; }

// The latest report of any kind, where it is not the latest counted one.
std::string latestBeside(const ActivityRow& row) {
  return row.latestMs != row.lastMs ? timeOrEmpty(row.latestMs) : "";
}

}  // namespace

void writeActivity(std::ostream& out, const std::vector<ActivityRow>& rows, bool csv) {
  out << (csv ? "player_name,added,miles,hours,reports,minimum,last_report,"
                "latest_report_any_kind,under_minimum,silent_30_days,never_reported,revoked,"
                "leave_days\n"
              : "player\tadded\tmiles\thours\treports\tminimum\tlast report\t"
                "latest of any kind\tmarks\n");
  for (const ActivityRow& row : rows) {
    const std::string added = dayText(dayOf(row.addedMs));
    const std::string miles = fixedDecimals(row.miles, 3);
    const std::string hours = fixedDecimals(static_cast<double>(row.seconds) / 3600.0, 2);
    const std::string minimum = fixedDecimals(row.minimum, 3);
    if (csv) {
      out << csvField(row.name) << ',' << added << ',' << miles << ',' << hours << ','
          << row.reports << ',' << minimum << ',' << timeOrEmpty(row.lastMs) << ','
          << latestBeside(row) << ',' << (row.underMinimum ? "yes" : "") << ','
          << (row.silent ? "yes" : "") << ',' << (row.never ? "yes" : "") << ','
          << timeOrEmpty(row.revokedMs) << ',' << row.leaveDays << '\n';
      continue;
    }
    std::string marks;
    for (const std::string& mark : activityMarks(row)) marks += (marks.empty() ? "" : ", ") + mark;
    out << terminalSafe(row.name) << '\t' << added << '\t' << miles << '\t' << hours << '\t'
        << row.reports << '\t' << minimum << '\t' << (row.lastMs ? isoTime(row.lastMs) : "none")
        << '\t' << latestBeside(row) << '\t' << marks << '\n';
  }
}

}  // namespace collector
