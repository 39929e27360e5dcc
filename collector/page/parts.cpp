#include "page/parts.h"

#include <algorithm>

#include "core/servers.h"
#include "core/text.h"
#include "page/html.h"

namespace collector {

namespace {

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

}  // namespace

std::string hours(std::int64_t seconds) {
  return fixedDecimals(static_cast<double>(seconds) / 3600.0, 2);
}

std::string cell(const std::string& text, const char* cls) {
  return cls ? "<td class=\"" + std::string(cls) + "\">" + text + "</td>" : "<td>" + text + "</td>";
}

// Minutes are enough on a page: 2026-05-04 13:02.
std::string shortTime(std::int64_t ms) { return isoTime(ms).substr(0, 16).replace(10, 1, " "); }

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

std::string head(const PageSettings& settings, const std::string& title, int refreshSeconds) {
  const std::string refresh = refreshSeconds > 0 ? "<meta http-equiv=\"refresh\" content=\"" +
                                                       std::to_string(refreshSeconds) + "\">"
                                                 : "";
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">" + refresh +
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

std::string renderMissingPage(const PageSettings& settings, const std::string& message) {
  return head(settings, settings.title) + "<main><p>" + escapeHtml(message) +
         ".</p><p><a href=\"/\">The leaderboard</a></p></main></body></html>\n";
}

std::string unplacedWhy(const LeaderboardRow& row) {
  if (row.flaggedReports == 0) return "kept out after review";
  return counted(row.flaggedReports, "flagged report") + " awaiting review";
}

std::string nothingCountedYet(const Board& board, const std::string& period) {
  if (board.unplaced.empty()) return "";
  std::string html = "<h3>Reported, nothing counted yet</h3>\n<ul id=\"unplaced\">";
  for (const LeaderboardRow& row : board.unplaced) {
    html += "<li><a href=\"" + escapeHtml(playerPath(row.playerName) + period) + "\">" +
            escapeHtml(row.playerName) + "</a> (" + unplacedWhy(row) + ")</li>";
  }
  return html + "</ul>\n";
}

}  // namespace collector
