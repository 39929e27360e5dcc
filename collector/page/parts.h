// The pieces every page is made of: the head with its style, table cells,
// times, the servers' columns and names, the period tabs, links to players,
// events and the pages of a board. Texts go through escapeHtml where they
// are put into a page.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/calendar.h"
#include "core/events.h"
#include "page/chart.h"
#include "page/page.h"

namespace collector {

// The document's start, its style and the site's header, up to <main>; a
// page that reloads itself every `refreshSeconds` when above 0.
std::string head(const PageSettings& settings, const std::string& title, int refreshSeconds = 0);
// A <td> of `text` (already HTML), of the class `cls` when given.
std::string cell(const std::string& text, const char* cls = nullptr);
// Seconds as hours with two decimals.
std::string hours(std::int64_t seconds);
// Minutes are enough on a page: 2026-05-04 13:02.
std::string shortTime(std::int64_t ms);

// The build's servers as the pages show them, in order: named by the
// operator, else "Server N".
std::vector<ServerColumn> serverColumns(const PageSettings& settings);
// The name the pages show for a server: its column's, else its id.
std::string serverName(const std::vector<ServerColumn>& servers, const std::string& id);

// ?since=...&until=... of a period, or nothing for all time.
std::string periodQuery(const std::string& since, const std::string& until);
std::string playerPath(const std::string& name);
// The period tabs, each a link to `path` with its period, the chosen one marked.
std::string tabs(const std::string& path, const PeriodChoice& choice, std::int64_t today);
// Links to the previous and next pages of a board, `base` its path and query
// so far (ending in ? or &); a limit other than the default is kept.
std::string pageLinks(const std::string& base, const BoardQuery& query, std::int64_t total);
std::string chartTitle(const std::string& who, const DaySpan& span);
// The players of a board who reported but have nothing counted yet, each a
// link to their page (with `period`'s query), so that nobody disappears;
// nothing when there are none.
std::string nothingCountedYet(const Board& board, const std::string& period);
// Why a player with no place has nothing counted: "2 flagged reports
// awaiting review", or "kept out after review".
std::string unplacedWhy(const LeaderboardRow& row);

std::string eventLink(const Event& event);
// 2026-12-11 19:00 to 22:00, or to 2026-12-12 01:00 when it ends on another day.
std::string eventWindow(const Event& event);
// The names of an event's servers, escaped, or "All servers".
std::string eventServers(const Event& event, const std::vector<ServerColumn>& servers);

}  // namespace collector
