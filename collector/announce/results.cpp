#include "announce/results.h"

#include <date/date.h>
#include <date/iso_week.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>

#include "announce/webhook.h"
#include "core/announce.h"
#include "core/ranking.h"
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

// HOST of HOST:PORT, [::1] of [::1]:PORT.
std::string hostName(const std::string& authority) {
  const std::size_t colon = authority.rfind(':');
  const std::size_t bracket = authority.rfind(']');
  if (colon == std::string::npos || (bracket != std::string::npos && colon < bracket)) {
    return authority;
  }
  return authority.substr(0, colon);
}

// Records the results of a board under `subject` unless they are recorded
// already; `message` words its best drivers.
bool recordBoard(const ResultStores& stores, const std::string& subject, const Period& period,
                 const std::function<std::string(const std::vector<Standing>&)>& message,
                 std::int64_t nowMs, std::string& problem) {
  std::string error;
  bool found = false, added = false;
  if (!stores.outbox.hasAnnouncement(subject, found, error)) {
    problem = "cannot read the store: " + error;
    return false;
  }
  if (found) return true;
  std::vector<LeaderboardRow> rows;
  if (!stores.boards.leaderboard(period, rows, error)) {
    problem = "cannot read the board of " + subject + ": " + error;
    return false;
  }
  std::int64_t drivers = 0;
  const std::vector<Standing> top = topOf(rows, drivers);
  const std::string body = top.empty() ? "" : webhookBody(message(top));
  if (!stores.outbox.addAnnouncement(subject, body, nowMs, added, error)) {
    problem = "cannot record the results of " + subject + ": " + error;
    return false;
  }
  return true;
}

bool recordWeek(const ResultStores& stores, const std::string& publicUrl, std::int64_t nowMs,
                std::string& problem) {
  const IsoWeek week = weekToAnnounce(nowMs);
  char subject[32];
  std::snprintf(subject, sizeof subject, "week/%04d-W%02d", week.year, week.week);
  const std::string link = boardUrl(publicUrl, week.firstDay, week.firstDay + 6);
  return recordBoard(
      stores, subject, {week.firstDay * msPerDay, (week.firstDay + 7) * msPerDay},
      [&](const std::vector<Standing>& top) {
        return weekMessage(week.year, week.week, week.firstDay, top, link);
      },
      nowMs, problem);
}

bool recordMonth(const ResultStores& stores, const std::string& publicUrl, std::int64_t nowMs,
                 std::string& problem) {
  const CalendarMonth month = monthToAnnounce(nowMs);
  if (!monthResultsDue(month, nowMs)) return true;
  char subject[32];
  std::snprintf(subject, sizeof subject, "month/%04d-%02d", month.year, month.month);
  const std::string link = boardUrl(publicUrl, month.firstDay, month.untilDay - 1);
  return recordBoard(
      stores, subject, {month.firstDay * msPerDay, month.untilDay * msPerDay},
      [&](const std::vector<Standing>& top) { return monthMessage(month, top, link); }, nowMs,
      problem);
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

CalendarMonth monthBefore(std::int64_t ms) {
  const date::year_month_day day{date::sys_days{date::days{dayOf(ms)}}};
  const date::year_month before = date::year_month{day.year(), day.month()} - date::months{1};
  const date::year_month after = before + date::months{1};
  return {static_cast<int>(before.year()), static_cast<int>(static_cast<unsigned>(before.month())),
          date::sys_days{before / 1}.time_since_epoch().count(),
          date::sys_days{after / 1}.time_since_epoch().count()};
}

CalendarMonth monthToAnnounce(std::int64_t nowMs) { return monthBefore(nowMs - resultsSettleMs); }

bool monthResultsDue(const CalendarMonth& month, std::int64_t nowMs) {
  const std::int64_t endMs = month.untilDay * msPerDay;
  return endMs + resultsSettleMs <= nowMs && nowMs <= endMs + monthsLookBackMs;
}

bool eventResultsDue(std::int64_t endMs, std::int64_t nowMs) {
  return endMs + resultsSettleMs <= nowMs && endMs >= nowMs - eventsLookBackMs;
}

std::string weekMessage(int isoYear, int week, std::int64_t firstDay,
                        const std::vector<Standing>& top, const std::string& link) {
  return "**Week " + std::to_string(week) + " of " + std::to_string(isoYear) + "** (" +
         dayText(firstDay) + " to " + dayText(firstDay + 6) +
         "), the top drivers:" + standings(top) + linkLine(link);
}

std::string monthMessage(const CalendarMonth& month, const std::vector<Standing>& top,
                         const std::string& link) {
  static const char* const names[] = {"January",   "February", "March",    "April",
                                      "May",       "June",     "July",     "August",
                                      "September", "October",  "November", "December"};
  return "**" + std::string(names[(month.month + 11) % 12]) + " " + std::to_string(month.year) +
         "** (" + dayText(month.firstDay) + " to " + dayText(month.untilDay - 1) +
         "), the top drivers:" + standings(top) + linkLine(link);
}

std::string eventMessage(const std::string& event, std::int64_t drivers,
                         const std::vector<Standing>& top, const std::string& link) {
  return "**" + chatSafe(event) + "** has ended: " + counted(drivers, "player") + " drove." +
         standings(top) + linkLine(link);
}

std::string boardUrl(const std::string& publicUrl, std::int64_t firstDay, std::int64_t lastDay) {
  if (publicUrl.empty()) return "";
  return publicUrl + "/?since=" + dayText(firstDay) + "&until=" + dayText(lastDay);
}

std::string eventUrl(const std::string& publicUrl, std::int64_t eventId) {
  return publicUrl.empty() ? "" : publicUrl + "/events/" + std::to_string(eventId);
}

std::string publicUrlProblem(const std::string& url) {
  const bool https = url.rfind("https://", 0) == 0;
  if (!https && url.rfind("http://", 0) != 0) return "wants an https:// URL, got '" + url + "'";
  const std::size_t hostAt = https ? 8 : 7;
  const std::size_t pathAt = std::min(url.find('/', hostAt), url.size());
  const std::string host = url.substr(hostAt, pathAt - hostAt);
  for (const unsigned char c : url) {
    if (c <= 0x20 || c >= 0x7f || std::strchr("<>\"\\^`{|}?#", c)) {
      return "a URL of printable ASCII without spaces, <>\"\\^`{|} or a query, got '" +
             terminalSafe(url) + "'";
    }
  }
  if (host.empty() || host.find('@') != std::string::npos) {
    return "wants a host and no user, got '" + url + "'";
  }
  const bool loopback = loopbackHost(hostName(host));
  if (!https && !loopback) {
    return "http:// only to a loopback address (127.0.0.1, [::1], localhost); others take "
           "https://, got '" +
           url + "'";
  }
  return "";
}

std::vector<Standing> topOf(const std::vector<LeaderboardRow>& rows, std::int64_t& drivers) {
  std::vector<Standing> top;
  drivers = 0;
  for (const LeaderboardRow& row : rows) {
    if (!placed(row.miles)) continue;  // the board's own membership
    ++drivers;
    if (top.size() < topDrivers)
      top.push_back({row.playerName, row.miles, row.reports, row.seconds});
  }
  return top;
}

bool recordResults(const ResultStores& stores, std::int64_t nowMs, std::string& problem,
                   const std::string& publicUrl) {
  if (!recordWeek(stores, publicUrl, nowMs, problem)) return false;
  if (!recordMonth(stores, publicUrl, nowMs, problem)) return false;
  std::string error;
  std::vector<Event> events;
  if (!stores.events.listEvents(events, error)) {
    problem = "cannot read the events: " + error;
    return false;
  }
  for (const Event& event : events) {
    if (!eventResultsDue(event.endMs, nowMs)) continue;
    const std::string key = "event/" + std::to_string(event.id);
    bool found = false, added = false;
    std::vector<LeaderboardRow> rows;
    if (!stores.outbox.hasAnnouncement(key, found, error) ||
        (!found && !stores.events.eventBoard(event, rows, error))) {
      problem = "cannot read an event's results: " + error;
      return false;
    }
    if (found) continue;
    std::int64_t drivers = 0;
    const std::vector<Standing> top = topOf(rows, drivers);
    const std::string link = eventUrl(publicUrl, event.id);
    const std::string body =
        top.empty() ? "" : webhookBody(eventMessage(event.name, drivers, top, link));
    if (!stores.outbox.addAnnouncement(key, body, nowMs, added, error)) {
      problem = "cannot record an event's results: " + error;
      return false;
    }
  }
  return true;
}

}  // namespace collector
