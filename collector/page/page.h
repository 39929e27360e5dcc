// page/, the pages a person reads: pure functions from what the board and
// the store answered to HTML, no I/O and no state, callable from any thread.
// Every text from a report, a name or an option is escaped in this folder
// (html.h) and nowhere else; every name in a URL goes through percentEncode.
// The pages load nothing from elsewhere and work without JavaScript.
//
// One file a page: leaderboard.cpp, player.cpp, events.cpp; the pieces they
// share in parts.h, the day chart in chart.h.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "board/events.h"
#include "core/calendar.h"
#include "store/store.h"

namespace collector {

// What the operator's options set on the pages.
struct PageSettings {
  std::string title = "VORN Davida leaderboard";
  std::map<std::string, std::string> serverNames;  // by server id; others are "Server N"
};

// --- leaderboard.cpp ---

// One page of the leaderboard of the chosen period (or the row of the player
// looked for) with the period tabs, the community's miles per day over `span`,
// links to the previous and next pages and a box to find a player.
std::string renderLeaderboardPage(const PageSettings& settings, const PeriodChoice& choice,
                                  std::int64_t today, const BoardQuery& query, const Board& board,
                                  const DaySpan& span, const std::vector<DayTotals>& days,
                                  const Event* nextEvent = nullptr, std::int64_t nowMs = 0);

// --- player.cpp ---

// One player's totals over the chosen period, per server, their miles per day
// over `span` and their latest reports.
std::string renderPlayerPage(const PageSettings& settings, const PeriodChoice& choice,
                             std::int64_t today, const std::string& name, const PlayerView& view,
                             const DaySpan& span, const std::vector<EventPlace>& events = {});

// --- events.cpp ---

// The running event, else the next one to begin, of `events` (latest start
// first); null when there is none.
const Event* runningOrNextEvent(const std::vector<Event>& events, std::int64_t nowMs);

// The events in the order readers get them: those not ended yet first, the
// ended ones last, each the latest start first as the store lists them; of
// these the page `query` asks for (its limit and offset).
std::vector<Event> eventsPage(const std::vector<Event>& events, std::int64_t nowMs,
                              const BoardQuery& query);

// A page of the events (eventsPage's): running, upcoming and past, and links
// to the previous and next pages of all `total`.
std::string renderEventsPage(const PageSettings& settings, const std::vector<Event>& events,
                             std::int64_t nowMs, const BoardQuery& query, std::int64_t total);

// While an event runs, its page reloads itself this often.
inline constexpr int runningEventRefreshSeconds = 60;

// One event: its window in UTC, its servers by name, its state and a page of
// its board; reloading itself while the event runs.
std::string renderEventPage(const PageSettings& settings, const Event& event, std::int64_t nowMs,
                            const BoardQuery& query, const Board& board);

// --- parts.cpp ---

// A page that only says `message`, for a player that does not exist.
std::string renderMissingPage(const PageSettings& settings, const std::string& message);

}  // namespace collector
