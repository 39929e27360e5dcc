#include "page.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "vorn_deployment.h"

namespace collector {

namespace {

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string cell(const std::string& text, const char* cls = nullptr) {
  return cls ? "<td class=\"" + std::string(cls) + "\">" + text + "</td>" : "<td>" + text + "</td>";
}

const char* const style = R"(<style>
body{font-family:system-ui,sans-serif;margin:2em;color:#222;background:#fafafa}
h1{font-size:1.6em;margin-bottom:.2em}
p.period{color:#666;margin-top:0}
table{border-collapse:collapse;background:#fff;box-shadow:0 1px 3px #0002}
th,td{padding:.4em .7em;border-bottom:1px solid #e4e4e4;text-align:left;white-space:nowrap}
th.group{text-align:center}
th.server{text-align:right;min-width:2.5em}
p.note{color:#666;font-size:.85em}
th{background:#2d4b73;color:#fff;font-weight:600}
td.num{text-align:right;font-variant-numeric:tabular-nums}
tr:nth-child(even) td{background:#f4f7fb}
td.flag{color:#a33}
nav{margin:.8em 0}nav a{margin-right:1em}
</style>)";

}  // namespace

std::string escapeHtml(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&#39;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

std::string isoTime(std::int64_t ms) {
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string renderLeaderboardPage(const Board& board, const BoardQuery& query,
                                  const std::string& periodText, const std::string& periodParams) {
  const std::vector<LeaderboardRow>& rows = board.rows;
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<title>VORN Davida leaderboard</title>";
  html += style;
  html += "</head><body><h1>VORN Davida leaderboard</h1><p class=\"period\">" +
          escapeHtml(periodText) + " &middot; " + std::to_string(board.totalPlayers) +
          " players</p>\n";
  // The period's own parameters are dates already checked; each goes back as
  // a hidden field of the search.
  html += "<form id=\"find\" method=\"get\" action=\"/\">";
  std::string rest = periodParams;
  while (!rest.empty()) {
    const std::string pair = rest.substr(0, rest.find('&'));
    rest = rest.size() > pair.size() ? rest.substr(pair.size() + 1) : "";
    const auto equals = pair.find('=');
    html += "<input type=\"hidden\" name=\"" + escapeHtml(pair.substr(0, equals)) + "\" value=\"" +
            escapeHtml(pair.substr(equals + 1)) + "\">";
  }
  html += "<input name=\"player\" placeholder=\"Player\" value=\"" + escapeHtml(query.player) +
          "\"> <button>Find</button></form>\n";
  const std::string base = "/?" + (periodParams.empty() ? "" : periodParams + "&");
  std::string nav;
  if (!query.player.empty()) {
    nav += "<a id=\"all\" href=\"" + escapeHtml(base.substr(0, base.size() - 1)) +
           "\">All players</a>";
  } else {
    const std::int64_t limit = query.limit;
    if (query.offset > 0) {
      nav += "<a id=\"previous\" href=\"" + escapeHtml(base) +
             "offset=" + std::to_string(std::max<std::int64_t>(0, query.offset - limit)) +
             (limit != 100 ? "&amp;limit=" + std::to_string(limit) : "") + "\">Previous</a>";
    }
    if (query.offset + limit < board.totalPlayers) {
      nav += "<a id=\"next\" href=\"" + escapeHtml(base) +
             "offset=" + std::to_string(query.offset + limit) +
             (limit != 100 ? "&amp;limit=" + std::to_string(limit) : "") + "\">Next</a>";
    }
  }
  if (!nav.empty()) nav = "<nav>" + nav + "</nav>\n";
  html += nav + "<table id=\"leaderboard\"><thead><tr>";
  html +=
      "<th rowspan=\"2\">#</th><th rowspan=\"2\">Player</th><th rowspan=\"2\">Miles</th>"
      "<th rowspan=\"2\">Hours</th><th colspan=\"5\" class=\"group\">Miles by server</th>"
      "<th rowspan=\"2\">Last truck</th><th rowspan=\"2\">Last trailer</th>"
      "<th rowspan=\"2\">Last seen (UTC)</th><th rowspan=\"2\">Flagged</th></tr><tr>";
  int serverNumber = 0;
  std::string legend;
  for (const char* server : deployment::knownServerIds) {
    const std::string number = std::to_string(++serverNumber);
    html += "<th class=\"server\" title=\"" + escapeHtml(server) + "\">" + number + "</th>";
    legend += (legend.empty() ? "" : ", ") + number + ": " + escapeHtml(server);
  }
  html += "</tr></thead><tbody>\n";
  for (const LeaderboardRow& row : rows) {
    html += "<tr>" + cell(std::to_string(row.rank), "num") + cell(escapeHtml(row.playerName)) +
            cell(fixed(row.miles, 2), "num") +
            cell(fixed(static_cast<double>(row.seconds) / 3600.0, 2), "num");
    for (const char* server : deployment::knownServerIds) {
      auto totals = row.servers.find(server);
      html += cell(totals == row.servers.end() ? "" : fixed(totals->second.miles, 2), "num");
    }
    html += cell(escapeHtml(row.lastTruck)) + cell(escapeHtml(row.lastTrailer)) +
            cell(isoTime(row.lastSeenMs).substr(0, 16).replace(10, 1, " ")) +
            cell(row.flaggedReports ? std::to_string(row.flaggedReports) : "",
                 row.flaggedReports ? "num flag" : "num") +
            "</tr>\n";
  }
  if (rows.empty()) {
    html += query.player.empty() ? "<tr><td colspan=\"13\">No reports yet.</td></tr>\n"
                                 : "<tr><td colspan=\"13\">No player of that name has a report "
                                   "in this period.</td></tr>\n";
  }
  html += "</tbody></table>\n" + nav + "<p class=\"note\">Servers " + legend +
          ".<br>Flagged reports (an implausible speed, or more driving time than had passed) "
          "are kept but not counted.</p></body></html>\n";
  return html;
}

}  // namespace collector
