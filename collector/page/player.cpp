#include "core/fairplay.h"
#include "core/text.h"
#include "page/chart.h"
#include "page/html.h"
#include "page/page.h"
#include "page/parts.h"

namespace collector {

namespace {

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

// The events the player drove in, with their place on each; nothing when none.
std::string eventsTable(const std::vector<EventPlace>& events) {
  if (events.empty()) return "";
  std::string html =
      "<h2>Events</h2>\n<div class=\"scroll\"><table id=\"events\"><thead><tr><th>Event</th>"
      "<th>Start (UTC)</th><th>Place</th><th>Miles</th><th>Hours</th></tr></thead><tbody>\n";
  for (const EventPlace& place : events) {
    html += "<tr><td>" + eventLink(place.event) + "</td>" + cell(shortTime(place.event.startMs)) +
            cell(place.row.rank ? std::to_string(place.row.rank) : "none yet", "num") +
            cell(fixedDecimals(place.row.miles, 2), "num") + cell(hours(place.row.seconds), "num") +
            "</tr>\n";
  }
  return html + "</tbody></table></div>\n";
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
                     {report.flag, report.miles, report.seconds, report.flagLimit,
                      report.sincePlayerAdded})),
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
  } else if (totals.lastSeenMs > 0) {
    html += "Reported in this period, nothing counted yet (" + unplacedWhy(totals) +
            "), so no place on the <a href=\"" +
            escapeHtml("/" + periodQuery(choice.since, choice.until)) + "\">leaderboard</a>.";
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
  return html + eventsTable(events) + flagsTable(view.flags, servers) + "</main></body></html>\n";
}

}  // namespace collector
