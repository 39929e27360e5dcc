#include <algorithm>

#include "core/text.h"
#include "page/html.h"
#include "page/page.h"
#include "page/parts.h"

namespace collector {

const Event* runningOrNextEvent(const std::vector<Event>& events, std::int64_t nowMs) {
  const Event* next = nullptr;
  for (const Event& event : events) {
    const EventState state = eventState(event, nowMs);
    if (state == EventState::running) return &event;
    if (state == EventState::upcoming && (!next || event.startMs <= next->startMs)) next = &event;
  }
  return next;
}

std::vector<Event> eventsPage(const std::vector<Event>& events, std::int64_t nowMs,
                              const BoardQuery& query) {
  std::vector<const Event*> ordered;
  for (const Event& event : events) ordered.push_back(&event);
  std::stable_partition(ordered.begin(), ordered.end(), [nowMs](const Event* event) {
    return eventState(*event, nowMs) != EventState::ended;
  });
  std::vector<Event> page;
  const auto from = static_cast<std::size_t>(std::max<std::int64_t>(query.offset, 0));
  for (std::size_t i = from;
       i < ordered.size() && page.size() < static_cast<std::size_t>(query.limit); ++i) {
    page.push_back(*ordered[i]);
  }
  return page;
}

std::string renderEventsPage(const PageSettings& settings, const std::vector<Event>& events,
                             std::int64_t nowMs, const BoardQuery& query, std::int64_t total) {
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
  if (total == 0) html += "<p>No events yet.</p>\n";
  html += pageLinks("/events?", query, total);
  return html +
         "<p class=\"note\">A report counts on an event's board when it arrived at the collector "
         "within the event's window, on one of its servers.</p></main></body></html>\n";
}

std::string renderEventPage(const PageSettings& settings, const Event& event, std::int64_t nowMs,
                            const BoardQuery& query, const Board& board) {
  const std::vector<ServerColumn> servers = serverColumns(settings);
  const bool running = eventState(event, nowMs) == EventState::running;
  std::string html = head(settings, event.name + " | " + settings.title,
                          running ? runningEventRefreshSeconds : 0) +
                     "<main><h2>" + escapeHtml(event.name) +
                     "</h2>\n<p class=\"period\" id=\"window\">" + eventWindow(event) +
                     " UTC, <span id=\"state\">" + escapeHtml(eventStateText(event, nowMs)) +
                     "</span></p>\n<p id=\"servers\">" + eventServers(event, servers) + "</p>\n";
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
  if (board.rows.empty()) {
    html += std::string("<tr><td colspan=\"5\">") +
            (board.unplaced.empty() ? "No reports in this event." : "Nothing counted in it yet.") +
            "</td></tr>\n";
  }
  html += "</tbody></table></div>\n";
  html += pageLinks("/events/" + std::to_string(event.id) + "?", query, board.totalPlayers);
  return html + nothingCountedYet(board, "") + "<p class=\"note\">" +
         counted(board.totalPlayers, "player") +
         " with counted miles in this event. A report counts when it arrived within the window "
         "and its driving time fits in the time since the window opened (or since the player's "
         "report before it); flagged reports are kept but not counted. "
         "<a href=\"/events\">All events</a></p>"
         "</main></body></html>\n";
}

}  // namespace collector
