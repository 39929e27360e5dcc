#include "announce/results.h"

#include <date/date.h>
#include <date/iso_week.h>

#include <cstdio>

#include "core/announce.h"
#include "core/text.h"

namespace collector {

namespace {

std::string standings(const std::vector<Standing>& top) {
  std::string text;
  for (std::size_t i = 0; i < top.size(); ++i) {
    text += "\n" + std::to_string(i + 1) + ". " + chatSafe(top[i].name) + ": " +
            groupedNumber(top[i].miles, 1) + " mi, " +
            groupedNumber(static_cast<double>(top[i].seconds) / 3600.0, 1) + " h";
  }
  return text;
}

// Records the week's results unless they are recorded already.
bool recordWeek(Store& store, std::int64_t nowMs, std::string& problem) {
  std::string error;
  bool found = false, added = false;
  const IsoWeek week = weekToAnnounce(nowMs);
  char subject[32];
  std::snprintf(subject, sizeof subject, "week/%04d-W%02d", week.year, week.week);
  if (!store.hasAnnouncement(subject, found, error)) {
    problem = "cannot read the store: " + error;
    return false;
  }
  if (found) return true;
  std::vector<LeaderboardRow> rows;
  const Period period{week.firstDay * msPerDay, (week.firstDay + 7) * msPerDay};
  if (!store.leaderboard(period, rows, error)) {
    problem = "cannot read the week's board: " + error;
    return false;
  }
  std::int64_t drivers = 0;
  const std::vector<Standing> top = topOf(rows, drivers);
  const std::string body =
      top.empty() ? "" : webhookBody(weekMessage(week.year, week.week, week.firstDay, top));
  if (!store.addAnnouncement(subject, body, nowMs, added, error)) {
    problem = "cannot record the week's results: " + error;
    return false;
  }
  return true;
}

}  // namespace

IsoWeek weekBefore(std::int64_t ms) {
  const date::sys_days day{date::days{dayOf(ms)}};
  const date::sys_days monday = day - (date::weekday{day} - date::Monday) - date::days{7};
  const iso_week::year_weeknum_weekday week{monday};
  return {static_cast<int>(week.year()), static_cast<int>(static_cast<unsigned>(week.weeknum())),
          monday.time_since_epoch().count()};
}

IsoWeek weekToAnnounce(std::int64_t nowMs) { return weekBefore(nowMs - resultsSettleMs); }

bool eventResultsDue(std::int64_t endMs, std::int64_t nowMs) {
  return endMs + resultsSettleMs <= nowMs && endMs >= nowMs - eventsLookBackMs;
}

std::string weekMessage(int isoYear, int week, std::int64_t firstDay,
                        const std::vector<Standing>& top) {
  return "**Week " + std::to_string(week) + " of " + std::to_string(isoYear) + "** (" +
         dayText(firstDay) + " to " + dayText(firstDay + 6) +
         "), the top drivers:" + standings(top);
}

std::string eventMessage(const std::string& event, std::int64_t drivers,
                         const std::vector<Standing>& top) {
  return "**" + chatSafe(event) + "** has ended: " + counted(drivers, "player") + " drove." +
         standings(top);
}

std::vector<Standing> topOf(const std::vector<LeaderboardRow>& rows, std::int64_t& drivers) {
  std::vector<Standing> top;
  drivers = 0;
  for (const LeaderboardRow& row : rows) {
    if (row.miles <= 0) continue;
    ++drivers;
    if (top.size() < topDrivers)
      top.push_back({row.playerName, row.miles, row.reports, row.seconds});
  }
  return top;
}

bool recordResults(Store& store, std::int64_t nowMs, std::string& problem) {
  if (!recordWeek(store, nowMs, problem)) return false;
  std::string error;
  std::vector<Event> events;
  if (!store.listEvents(events, error)) {
    problem = "cannot read the events: " + error;
    return false;
  }
  for (const Event& event : events) {
    if (!eventResultsDue(event.endMs, nowMs)) continue;
    const std::string key = "event/" + std::to_string(event.id);
    bool found = false, added = false;
    std::vector<LeaderboardRow> rows;
    if (!store.hasAnnouncement(key, found, error) ||
        (!found && !store.eventBoard(event, rows, error))) {
      problem = "cannot read an event's results: " + error;
      return false;
    }
    if (found) continue;
    std::int64_t drivers = 0;
    const std::vector<Standing> top = topOf(rows, drivers);
    const std::string body = top.empty() ? "" : webhookBody(eventMessage(event.name, drivers, top));
    if (!store.addAnnouncement(key, body, nowMs, added, error)) {
      problem = "cannot record an event's results: " + error;
      return false;
    }
  }
  return true;
}

}  // namespace collector
