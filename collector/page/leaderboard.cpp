#include <utility>

#include "core/text.h"
#include "page/chart.h"
#include "page/html.h"
#include "page/page.h"
#include "page/parts.h"

namespace collector {

namespace {

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
            (!board.unplaced.empty() ? "Nothing counted in this period yet."
             : query.player.empty()  ? "No reports in this period."
                                     : "No player of that name has a report in this period.") +
            "</td></tr>\n";
  }
  html += "</tbody></table></div>\n" + links + nothingCountedYet(board, period) +
          "<p class=\"note\">" + counted(board.totalPlayers, "player") +
          " with counted miles in this period. Flagged reports (an implausible speed, or more "
          "driving time than had passed) are kept but not counted." +
          (movement ? " The 7 days column shows each place gained or lost since the board as it "
                      "stood at 00:00 UTC seven days ago; new: not on it then."
                    : "") +
          "</p></main></body></html>\n";
  return html;
}

}  // namespace collector
