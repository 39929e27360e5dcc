#include "page/page.h"

#include <date/date.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "core/fairplay.h"
#include "core/servers.h"
#include "core/text.h"
#include "page/chart.h"
#include "page/html.h"

namespace collector {

namespace {

std::string hours(std::int64_t seconds) {
  return fixedDecimals(static_cast<double>(seconds) / 3600.0, 2);
}

std::string cell(const std::string& text, const char* cls = nullptr) {
  return cls ? "<td class=\"" + std::string(cls) + "\">" + text + "</td>" : "<td>" + text + "</td>";
}

// Minutes are enough on a page: 2026-05-04 13:02.
std::string shortTime(std::int64_t ms) { return isoTime(ms).substr(0, 16).replace(10, 1, " "); }

const char* const style = R"(<style>
*{box-sizing:border-box}
body{font-family:system-ui,sans-serif;margin:0 auto;padding:1em;max-width:90em;color:#222;
background:#fafafa}
h1{font-size:1.6em;margin:.2em 0}
h1,h2{overflow-wrap:anywhere}
h1 a{color:inherit;text-decoration:none}
h2{font-size:1.2em;margin:1.2em 0 .4em}
nav.tabs{display:flex;flex-wrap:wrap;gap:.3em;margin:.6em 0}
nav.tabs a{padding:.3em .8em;border-radius:1em;background:#e3eaf3;color:#2d4b73;
text-decoration:none}
nav.tabs a[aria-current]{background:#2d4b73;color:#fff;font-weight:600}
p.period,p.note,p.summary{color:#555}
p.note{font-size:.85em}
.scroll{overflow-x:auto;max-width:100%}
table{border-collapse:collapse;background:#fff;box-shadow:0 1px 3px #0002}
caption{text-align:left;padding:.3em 0;color:#555}
th,td{padding:.4em .7em;border-bottom:1px solid #e4e4e4;text-align:left;white-space:nowrap}
th{background:#2d4b73;color:#fff;font-weight:600}
th.group{text-align:center}
th.server{text-align:right;white-space:normal;min-width:5em}
td.num{text-align:right;font-variant-numeric:tabular-nums}
tr:nth-child(even) td{background:#f4f7fb}
td a{color:#1f4f8f}
td.flag{color:#a33}
td.move{text-align:center}td.up{color:#2e7d32}td.down{color:#a33}td.new{color:#2d4b73}
td.why{white-space:normal;min-width:14em}
figure.chart{margin:0}
svg.chart{display:block;width:100%;max-width:56em;height:auto;background:#fff;
box-shadow:0 1px 3px #0002}
svg.chart .grid{stroke:#e4e4e4}
svg.chart .axis{font-size:13px;fill:#666}
@media (max-width:40em){svg.chart .axis{font-size:22px}}
figcaption{color:#555;font-size:.85em;margin:.3em 0}
p.legend span{display:inline-block;margin-right:.8em}
p.legend i{display:inline-block;width:.8em;height:.8em;margin-right:.3em;vertical-align:-.05em}
details{margin:.3em 0 1em}
form#find{margin:.5em 0}p.event{background:#fff4d6;padding:.4em .7em;border-radius:.3em}
nav.pages{margin:.6em 0}nav.pages a{margin-right:1em}
.s1{fill:#2f6fd0;background:#2f6fd0}.s2{fill:#e07b2c;background:#e07b2c}
.s3{fill:#2e9e5b;background:#2e9e5b}.s4{fill:#9a55b5;background:#9a55b5}
.s5{fill:#c9a000;background:#c9a000}
</style>)";

std::vector<ServerColumn> serverColumns(const PageSettings& settings) {
  std::vector<ServerColumn> columns;
  for (const std::string& id : knownServers()) {
    const std::string number = std::to_string(columns.size() + 1);
    auto named = settings.serverNames.find(id);
    columns.push_back({id, named == settings.serverNames.end() ? "Server " + number : named->second,
                       "s" + number});
  }
  return columns;
}

// The name the pages show for a server: its column's, else its id.
std::string serverName(const std::vector<ServerColumn>& servers, const std::string& id) {
  for (const ServerColumn& column : servers) {
    if (column.id == id) return column.name;
  }
  return id;
}

// The names of an event's servers, escaped, or "All servers".
std::string eventServers(const Event& event, const std::vector<ServerColumn>& servers) {
  if (event.servers.empty()) return "All servers";
  std::string names;
  for (const ServerColumn& server : servers) {
    if (std::find(event.servers.begin(), event.servers.end(), server.id) != event.servers.end()) {
      names += (names.empty() ? "" : ", ") + escapeHtml(server.name);
    }
  }
  return names;
}

// Links to the previous and next pages of a board, `base` its path and query
// so far (ending in ? or &); a limit other than the default is kept.
std::string pageLinks(const std::string& base, const BoardQuery& query, std::int64_t total) {
  const std::string limit =
      query.limit != BoardQuery().limit ? "&limit=" + std::to_string(query.limit) : "";
  const auto at = [&](std::int64_t offset) {
    return escapeHtml(base + "offset=" + std::to_string(offset) + limit);
  };
  std::string links;
  if (query.offset > 0) {
    links += "<a id=\"previous\" href=\"" +
             at(std::max<std::int64_t>(0, query.offset - query.limit)) + "\">Previous</a>";
  }
  if (query.offset + query.limit < total) {
    links += "<a id=\"next\" href=\"" + at(query.offset + query.limit) + "\">Next</a>";
  }
  return links.empty() ? links : "<nav class=\"pages\">" + links + "</nav>\n";
}

// ?since=...&until=... of a period, or nothing for all time.
std::string periodQuery(const std::string& since, const std::string& until) {
  std::string query;
  if (!since.empty()) query += "since=" + percentEncode(since);
  if (!until.empty()) query += (query.empty() ? "" : "&") + ("until=" + percentEncode(until));
  return query.empty() ? query : "?" + query;
}

std::string playerPath(const std::string& name) { return "/players/" + percentEncode(name); }

std::string head(const PageSettings& settings, const std::string& title) {
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\"><title>" +
         escapeHtml(title) + "</title>" + style + "</head><body><header><h1><a href=\"/\">" +
         escapeHtml(settings.title) + "</a></h1></header>\n";
}

// The period tabs, each a link to `path` with its period, the chosen one marked.
std::string tabs(const std::string& path, const PeriodChoice& choice, std::int64_t today) {
  std::string html = "<nav class=\"tabs\" aria-label=\"Period\">";
  int index = 0;
  for (const PeriodTab& tab : periodTabs(today)) {
    html += "<a href=\"" + escapeHtml(path + periodQuery(tab.since, tab.until)) + "\"" +
            (index++ == choice.tab ? " aria-current=\"page\"" : "") + ">" + tab.label + "</a>";
  }
  return html + "</nav>\n<p class=\"period\">" + escapeHtml(choice.text) + "</p>\n";
}

// A row's movement on the all-time board since seven days ago, with its
// words for a reader that does not see the arrows.
std::string movementCell(const LeaderboardRow& row) {
  if (row.rankThen == 0) {
    return "<td class=\"move new\" title=\"not on the board seven days ago\">new</td>";
  }
  const std::int64_t change = row.rankThen - row.rank;
  const std::string places = std::to_string(change < 0 ? -change : change) +
                             (change == 1 || change == -1 ? " place" : " places");
  if (change > 0)
    return "<td class=\"move up\" title=\"up " + places + "\">\u25B2 " + std::to_string(change) +
           "</td>";
  if (change < 0)
    return "<td class=\"move down\" title=\"down " + places + "\">\u25BC " +
           std::to_string(-change) + "</td>";
  return "<td class=\"move\" title=\"the same place\">\u2013</td>";
}

// The player's movement in words, on the all-time board only.
std::string movementWords(const LeaderboardRow& row) {
  if (row.rankThen < 0) return "";
  if (row.rankThen == 0) return " (new since seven days ago)";
  const std::int64_t change = row.rankThen - row.rank;
  if (change == 0) return " (the same as seven days ago)";
  const std::int64_t places = change < 0 ? -change : change;
  return std::string(" (") + (change > 0 ? "up " : "down ") + std::to_string(places) +
         (places == 1 ? " place" : " places") + " since seven days ago)";
}

std::string chartTitle(const std::string& who, const DaySpan& span) {
  return "Counted miles per UTC day, " + who + ", " + dayText(span.first) + " to " +
         dayText(span.first + span.count - 1);
}

std::string eventLink(const Event& event) {
  return "<a href=\"/events/" + std::to_string(event.id) + "\">" + escapeHtml(event.name) + "</a>";
}

// 2026-12-11 19:00 to 22:00, or to 2026-12-12 01:00 when it ends on another day.
std::string eventWindow(const Event& event) {
  const std::string start = shortTime(event.startMs), end = shortTime(event.endMs);
  return start + " to " + (start.compare(0, 10, end, 0, 10) == 0 ? end.substr(11) : end);
}

// The line above the leaderboard: the running or next event, and all events.
std::string eventNotice(const Event* event, std::int64_t nowMs) {
  std::string html = "<p class=\"event\" id=\"event-notice\">";
  if (event) {
    const bool running = eventState(*event, nowMs) == EventState::running;
    html += std::string(running ? "Running now: " : "Next event: ") + eventLink(*event) + ", " +
            (running ? "until " + shortTime(event->endMs).substr(11) + " UTC"
                     : eventStateText(*event, nowMs) + " (" + shortTime(event->startMs) + " UTC)") +
            ". ";
  }
  return html + "<a href=\"/events\">All events</a></p>\n";
}

}  // namespace

namespace {

// The form that finds a player on the board of the chosen period.
std::string findBox(const PeriodChoice& choice, const BoardQuery& query) {
  std::string html = "<form id=\"find\" method=\"get\" action=\"/\">";
  for (const auto& [name, value] : {std::pair("since", choice.since), {"until", choice.until}}) {
    if (!value.empty()) {
      html += "<input type=\"hidden\" name=\"" + std::string(name) + "\" value=\"" +
              escapeHtml(value) + "\">";
    }
  }
  return html + "<input name=\"player\" placeholder=\"Player\" aria-label=\"Player\" value=\"" +
         escapeHtml(query.player) + "\"> <button>Find</button></form>\n";
}

// Links to the previous and next pages of the board, or back to all players.
std::string boardLinks(const PeriodChoice& choice, const BoardQuery& query, const Board& board) {
  const std::string period = periodQuery(choice.since, choice.until);
  if (query.player.empty()) {
    return pageLinks("/" + (period.empty() ? "?" : period + "&"), query, board.totalPlayers);
  }
  return "<nav class=\"pages\"><a id=\"all\" href=\"" + escapeHtml("/" + period) +
         "\">All players</a></nav>\n";
}

// The player's flagged reports, each with its rule in words and its review.
std::string flagsTable(const std::vector<StoredReport>& flags,
                       const std::vector<ServerColumn>& servers) {
  std::string html =
      "<h2>Flagged reports</h2>\n<div class=\"scroll\"><table id=\"flags\"><thead><tr>"
      "<th>Report</th><th>Time (UTC)</th><th>Server</th><th>Why</th><th>Review</th></tr>"
      "</thead><tbody>\n";
  for (const StoredReport& report : flags) {
    html += "<tr>" + cell(std::to_string(report.id), "num") +
            cell(isoTime(report.receivedMs).substr(0, 19).replace(10, 1, " ")) +
            cell(escapeHtml(serverName(servers, report.serverId))) +
            cell(escapeHtml(flagExplanation(
                     {report.flag, report.miles, report.seconds, report.flagLimit})),
                 "why") +
            cell(reviewText(report.review)) + "</tr>\n";
  }
  if (flags.empty()) html += "<tr><td colspan=\"5\">None.</td></tr>\n";
  return html +
         "</tbody></table></div>\n<p class=\"note\">The latest 20 flagged reports of all time, "
         "newest first. A flagged report is kept but does not count until the operator reviews "
         "it: counted after review, its miles and hours count after all; kept out after review, "
         "they never do.</p>\n";
}

}  // namespace

std::string renderLeaderboardPage(const PageSettings& settings, const PeriodChoice& choice,
                                  std::int64_t today, const BoardQuery& query, const Board& board,
                                  const DaySpan& span, const std::vector<DayTotals>& days,
                                  const Event* nextEvent, std::int64_t nowMs) {
  const std::vector<ServerColumn> servers = serverColumns(settings);
  const bool lastDays = span.first + span.count - 1 == today && span.count == 30;
  std::string html = head(settings, settings.title) + "<main>" + eventNotice(nextEvent, nowMs) +
                     tabs("/", choice, today);
  html += std::string("<h2>") +
          (lastDays ? "The community's last 30 days" : "The community, day by day") + "</h2>\n" +
          renderDayChart(chartTitle("all players", span), span, days, servers);
  const std::string links = boardLinks(choice, query, board);
  const bool movement = isAllTime(query.period);
  html += "<h2>Players</h2>\n" + findBox(choice, query) +
          "<div class=\"scroll\"><table id=\"leaderboard\"><thead><tr><th rowspan=\"2\">#</th>" +
          (movement ? "<th rowspan=\"2\" title=\"since the board of seven days ago, 00:00 UTC\">"
                      "7 days</th>"
                    : "") +
          "<th rowspan=\"2\">Player</th><th rowspan=\"2\">Miles</th>"
          "<th rowspan=\"2\">Hours</th><th colspan=\"5\" class=\"group\">Miles by server</th>"
          "<th rowspan=\"2\">Last truck</th><th rowspan=\"2\">Last trailer</th>"
          "<th rowspan=\"2\">Last seen (UTC)</th><th rowspan=\"2\">Flagged</th></tr><tr>";
  for (const ServerColumn& server : servers) {
    html += "<th class=\"server\" title=\"" + escapeHtml(server.id) + "\">" +
            escapeHtml(server.name) + "</th>";
  }
  html += "</tr></thead><tbody>\n";
  const std::string period = periodQuery(choice.since, choice.until);
  for (const LeaderboardRow& row : board.rows) {
    html += "<tr>" + cell(std::to_string(row.rank), "num") + (movement ? movementCell(row) : "") +
            "<td><a href=\"" + escapeHtml(playerPath(row.playerName) + period) + "\">" +
            escapeHtml(row.playerName) + "</a></td>" + cell(fixedDecimals(row.miles, 2), "num") +
            cell(hours(row.seconds), "num");
    for (const ServerColumn& server : servers) {
      auto totals = row.servers.find(server.id);
      html +=
          cell(totals == row.servers.end() ? "" : fixedDecimals(totals->second.miles, 2), "num");
    }
    html += cell(escapeHtml(row.lastTruck)) + cell(escapeHtml(row.lastTrailer)) +
            cell(shortTime(row.lastSeenMs)) +
            cell(row.flaggedReports ? std::to_string(row.flaggedReports) : "",
                 row.flaggedReports ? "num flag" : "num") +
            "</tr>\n";
  }
  if (board.rows.empty()) {
    html += "<tr><td colspan=\"" + std::string(movement ? "14" : "13") + "\">" +
            (query.player.empty() ? "No reports in this period."
                                  : "No player of that name has a report in this period.") +
            "</td></tr>\n";
  }
  html += "</tbody></table></div>\n" + links + "<p class=\"note\">" +
          counted(board.totalPlayers, "player") +
          " reported in this period. Flagged reports (an implausible speed, or more driving time "
          "than had passed) are kept but not counted." +
          (movement ? " The 7 days column shows each place gained or lost since the board as it "
                      "stood at 00:00 UTC seven days ago; new: not on it then."
                    : "") +
          "</p></main></body></html>\n";
  return html;
}

std::string renderPlayerPage(const PageSettings& settings, const PeriodChoice& choice,
                             std::int64_t today, const std::string& name, const PlayerView& view,
                             const DaySpan& span, const std::vector<EventPlace>& events) {
  const std::vector<ServerColumn> servers = serverColumns(settings);
  const LeaderboardRow& totals = view.totals;
  std::string html = head(settings, name + " | " + settings.title) + "<main><h2>" +
                     escapeHtml(name) + "</h2>" + tabs(playerPath(name), choice, today);
  html += "<p class=\"summary\">";
  if (totals.rank > 0) {
    html += "Place " + std::to_string(totals.rank) + " on the <a href=\"" +
            escapeHtml("/" + periodQuery(choice.since, choice.until)) +
            "\">leaderboard</a> of this period" + movementWords(totals) + ": " +
            fixedDecimals(totals.miles, 2) + " miles in " + hours(totals.seconds) + " hours, " +
            counted(totals.reports, "report") +
            (totals.flaggedReports
                 ? " counted and " + std::to_string(totals.flaggedReports) + " flagged"
                 : "") +
            ".";
  } else {
    html += "No reports in this period.";
  }
  html +=
      "</p>\n<div class=\"scroll\"><table id=\"servers\"><thead><tr><th>Server</th>"
      "<th>Miles</th><th>Hours</th></tr></thead><tbody>";
  for (const ServerColumn& server : servers) {
    auto found = totals.servers.find(server.id);
    const ServerTotals none;
    const ServerTotals& each = found == totals.servers.end() ? none : found->second;
    html += "<tr><td title=\"" + escapeHtml(server.id) + "\">" + escapeHtml(server.name) + "</td>" +
            cell(fixedDecimals(each.miles, 2), "num") + cell(hours(each.seconds), "num") + "</tr>";
  }
  html += "<tr><th>All servers</th><th class=\"server\">" + fixedDecimals(totals.miles, 2) +
          "</th><th class=\"server\">" + hours(totals.seconds) +
          "</th></tr></tbody></table></div>\n<h2>Day by day</h2>\n" +
          renderDayChart(chartTitle(name, span), span, view.days, servers) +
          "<h2>Latest reports</h2>\n<div class=\"scroll\"><table id=\"reports\"><thead><tr>"
          "<th>Time (UTC)</th><th>Server</th><th>Miles</th><th>Hours</th><th>Truck</th>"
          "<th>Trailer</th><th>Flag</th></tr></thead><tbody>\n";
  for (const StoredReport& report : view.lastReports) {
    html += "<tr>" + cell(isoTime(report.receivedMs).substr(0, 19).replace(10, 1, " ")) +
            cell(escapeHtml(serverName(servers, report.serverId))) +
            cell(fixedDecimals(report.miles, 2), "num") + cell(hours(report.seconds), "num") +
            cell(escapeHtml(report.truck)) + cell(escapeHtml(report.trailer)) +
            cell(escapeHtml(report.flag), report.flag.empty() ? nullptr : "flag") + "</tr>\n";
  }
  if (view.lastReports.empty()) html += "<tr><td colspan=\"7\">No reports yet.</td></tr>\n";
  html +=
      "</tbody></table></div>\n<p class=\"note\">The latest reports of all time, newest first. "
      "Flagged reports (speed: an implausible speed; wall_time: more driving time than had "
      "passed) are kept but not counted.</p>\n";
  if (!events.empty()) {
    html +=
        "<h2>Events</h2>\n<div class=\"scroll\"><table id=\"events\"><thead><tr><th>Event</th>"
        "<th>Start (UTC)</th><th>Place</th><th>Miles</th><th>Hours</th></tr></thead><tbody>\n";
    for (const EventPlace& place : events) {
      html += "<tr><td>" + eventLink(place.event) + "</td>" + cell(shortTime(place.event.startMs)) +
              cell(std::to_string(place.row.rank), "num") +
              cell(fixedDecimals(place.row.miles, 2), "num") +
              cell(hours(place.row.seconds), "num") + "</tr>\n";
    }
    html += "</tbody></table></div>\n";
  }
  return html + flagsTable(view.flags, servers) + "</main></body></html>\n";
}

std::string renderMissingPage(const PageSettings& settings, const std::string& message) {
  return head(settings, settings.title) + "<main><p>" + escapeHtml(message) +
         ".</p><p><a href=\"/\">The leaderboard</a></p></main></body></html>\n";
}

const Event* runningOrNextEvent(const std::vector<Event>& events, std::int64_t nowMs) {
  const Event* next = nullptr;
  for (const Event& event : events) {
    const EventState state = eventState(event, nowMs);
    if (state == EventState::running) return &event;
    if (state == EventState::upcoming && (!next || event.startMs <= next->startMs)) next = &event;
  }
  return next;
}

std::string renderEventsPage(const PageSettings& settings, const std::vector<Event>& events,
                             std::int64_t nowMs) {
  const std::vector<ServerColumn> servers = serverColumns(settings);
  std::string html = head(settings, "Events | " + settings.title) + "<main><h2>Events</h2>\n";
  const struct {
    EventState state;
    const char* title;
    const char* id;
  } parts[] = {{EventState::running, "Running", "running"},
               {EventState::upcoming, "Upcoming", "upcoming"},
               {EventState::ended, "Past", "past"}};
  for (const auto& part : parts) {
    std::string rows;
    for (const Event& event : events) {
      if (eventState(event, nowMs) != part.state) continue;
      rows += "<tr><td>" + eventLink(event) + "</td>" + cell(eventWindow(event)) +
              "<td class=\"servers\">" + eventServers(event, servers) + "</td>" +
              cell(escapeHtml(eventStateText(event, nowMs))) + "</tr>\n";
    }
    if (rows.empty()) continue;
    html += "<h2>" + std::string(part.title) + "</h2>\n<div class=\"scroll\"><table id=\"" +
            part.id +
            "\"><thead><tr><th>Event</th><th>When (UTC)</th><th>Servers</th><th></th></tr>"
            "</thead><tbody>\n" +
            rows + "</tbody></table></div>\n";
  }
  if (events.empty()) html += "<p>No events yet.</p>\n";
  return html +
         "<p class=\"note\">A report counts on an event's board when it arrived at the collector "
         "within the event's window, on one of its servers.</p></main></body></html>\n";
}

std::string renderEventPage(const PageSettings& settings, const Event& event, std::int64_t nowMs,
                            const BoardQuery& query, const Board& board) {
  const std::vector<ServerColumn> servers = serverColumns(settings);
  std::string html = head(settings, event.name + " | " + settings.title) + "<main><h2>" +
                     escapeHtml(event.name) + "</h2>\n<p class=\"period\" id=\"window\">" +
                     eventWindow(event) + " UTC, <span id=\"state\">" +
                     escapeHtml(eventStateText(event, nowMs)) + "</span></p>\n<p id=\"servers\">" +
                     eventServers(event, servers) + "</p>\n";
  if (!event.description.empty()) {
    html += "<p id=\"description\">" + escapeHtml(event.description) + "</p>\n";
  }
  html +=
      "<div class=\"scroll\"><table id=\"board\"><thead><tr><th>#</th><th>Player</th>"
      "<th>Miles</th><th>Hours</th><th>Flagged</th></tr></thead><tbody>\n";
  for (const LeaderboardRow& row : board.rows) {
    html += "<tr>" + cell(std::to_string(row.rank), "num") + "<td><a href=\"" +
            escapeHtml(playerPath(row.playerName)) + "\">" + escapeHtml(row.playerName) +
            "</a></td>" + cell(fixedDecimals(row.miles, 2), "num") +
            cell(hours(row.seconds), "num") +
            cell(row.flaggedReports ? std::to_string(row.flaggedReports) : "",
                 row.flaggedReports ? "num flag" : "num") +
            "</tr>\n";
  }
  if (board.rows.empty()) html += "<tr><td colspan=\"5\">No reports in this event.</td></tr>\n";
  html += "</tbody></table></div>\n";
  html += pageLinks("/events/" + std::to_string(event.id) + "?", query, board.totalPlayers);
  return html + "<p class=\"note\">" + counted(board.totalPlayers, "player") +
         " reported in this event. A report counts when it arrived within the window; flagged "
         "reports are kept but not counted. <a href=\"/events\">All events</a></p>"
         "</main></body></html>\n";
}

}  // namespace collector
