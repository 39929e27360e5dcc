#include "page.h"

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
th,td{padding:.45em .8em;border-bottom:1px solid #e4e4e4;text-align:left;white-space:nowrap}
th{background:#2d4b73;color:#fff;font-weight:600}
td.num{text-align:right;font-variant-numeric:tabular-nums}
tr:nth-child(even) td{background:#f4f7fb}
td.flag{color:#a33}
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

std::string renderLeaderboardPage(const std::vector<LeaderboardRow>& rows,
                                  const std::string& periodText) {
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<title>VORN Davida leaderboard</title>";
  html += style;
  html += "</head><body><h1>VORN Davida leaderboard</h1><p class=\"period\">" +
          escapeHtml(periodText) + "</p>\n<table id=\"leaderboard\"><thead><tr>";
  html += "<th>#</th><th>Player</th><th>Miles</th><th>Hours</th>";
  int serverNumber = 0;
  for (const char* server : deployment::knownServerIds) {
    html += "<th title=\"" + escapeHtml(server) + "\">Server " + std::to_string(++serverNumber) +
            " miles</th>";
  }
  html += "<th>Last truck</th><th>Last trailer</th><th>Last seen (UTC)</th><th>Flagged</th>";
  html += "</tr></thead><tbody>\n";
  int rank = 0;
  for (const LeaderboardRow& row : rows) {
    html += "<tr>" + cell(std::to_string(++rank), "num") + cell(escapeHtml(row.playerName)) +
            cell(fixed(row.miles, 1), "num") +
            cell(fixed(static_cast<double>(row.seconds) / 3600.0, 1), "num");
    for (const char* server : deployment::knownServerIds) {
      auto totals = row.servers.find(server);
      html += cell(totals == row.servers.end() ? "" : fixed(totals->second.miles, 1), "num");
    }
    html += cell(escapeHtml(row.lastTruck)) + cell(escapeHtml(row.lastTrailer)) +
            cell(isoTime(row.lastSeenMs)) +
            cell(row.flaggedReports ? std::to_string(row.flaggedReports) : "",
                 row.flaggedReports ? "num flag" : "num") +
            "</tr>\n";
  }
  if (rows.empty()) html += "<tr><td colspan=\"13\">No reports yet.</td></tr>\n";
  html += "</tbody></table></body></html>\n";
  return html;
}

}  // namespace collector
