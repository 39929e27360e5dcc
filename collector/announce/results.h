// The results worth posting: the week's and the month's best drivers once
// the period has ended, and each event's once it has, recorded in the store's
// outbox (milestones are recorded by the store with the reports that reach
// them). With the collector's public URL, each post links to its board or its
// event's page.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/calendar.h"
#include "core/ranking.h"
#include "store/store.h"

namespace collector {

// Results are announced this long after their period's end, so that
// reports received before the end and committed after it count (and other
// collectors' clocks may run a little behind).
inline constexpr std::int64_t resultsSettleMs = 600000;

// An ISO week (from Monday, UTC).
struct IsoWeek {
  int year = 0;
  int week = 0;
  std::int64_t firstDay = 0;  // its Monday, days since 1970-01-01
};
// The week before the one that holds `ms`.
IsoWeek weekBefore(std::int64_t ms);
// The week whose results are due at `nowMs`: the latest that ended at least
// resultsSettleMs before it.
IsoWeek weekToAnnounce(std::int64_t nowMs);

// A calendar month (UTC), its days [firstDay, untilDay) since 1970-01-01.
struct CalendarMonth {
  int year = 0;
  int month = 0;  // 1 to 12
  std::int64_t firstDay = 0;
  std::int64_t untilDay = 0;
};
// The month before the one that holds `ms`.
CalendarMonth monthBefore(std::int64_t ms);
// The month whose results are due at `nowMs`: the latest that ended at least
// resultsSettleMs before it (on the 1st, from 00:10 UTC).
CalendarMonth monthToAnnounce(std::int64_t nowMs);

// A month's results are recorded until this long after its end only (after
// a stop, too): the outbox forgets an announcement after 30 days, and a month
// stays the last one ended for up to 31.
inline constexpr std::int64_t monthsLookBackMs = 7 * msPerDay;
// Whether `month`'s results may be recorded at `nowMs`: ended, settled, and
// not older than monthsLookBackMs.
bool monthResultsDue(const CalendarMonth& month, std::int64_t nowMs);

// Events that ended this long ago or less have their results announced
// (after a stop, too).
inline constexpr std::int64_t eventsLookBackMs = 7 * msPerDay;
// Whether the results of an event that ends at `endMs` are due at `nowMs`:
// settled, and not older than eventsLookBackMs.
bool eventResultsDue(std::int64_t endMs, std::int64_t nowMs);

// The ISO week `week` of `isoYear`, Monday `firstDay` (days since
// 1970-01-01), and its best drivers; the month's; the event's. Each ends with
// `link` on a line of its own in <>, which keeps the chat from previewing it,
// when one is given.
std::string weekMessage(int isoYear, int week, std::int64_t firstDay,
                        const std::vector<Standing>& top, const std::string& link = "");
std::string monthMessage(const CalendarMonth& month, const std::vector<Standing>& top,
                         const std::string& link = "");
std::string eventMessage(const std::string& event, std::int64_t drivers,
                         const std::vector<Standing>& top, const std::string& link = "");

// The pages a post links to, at the collector's `publicUrl`: the board of the
// days [firstDay, lastDay], an event's page; "" without a public URL.
std::string boardUrl(const std::string& publicUrl, std::int64_t firstDay, std::int64_t lastDay);
std::string eventUrl(const std::string& publicUrl, std::int64_t eventId);

// Why `url` cannot be the collector's public address that posts link to
// (serve --public-url), "" when it can: https://HOST[/PATH], or http:// to a
// loopback host; printable ASCII without a query, a fragment or a user.
std::string publicUrlProblem(const std::string& url);

// The best `topDrivers` of a board by counted miles, and how many drove at all.
inline constexpr std::size_t topDrivers = 5;
std::vector<Standing> topOf(const std::vector<LeaderboardRow>& rows, std::int64_t& drivers);

// Records, once each, the results of the last ended week and month and of
// the events that ended lately (a board without a driver is recorded with an
// empty body, which is never posted), linked to `publicUrl`'s pages when it is
// not "" (no '/' at its end). False with what went wrong, for the log, when
// the store failed.
// What results are read from (the boards and events) and recorded into.
struct ResultStores {
  BoardStore& boards;
  EventStore& events;
  OutboxStore& outbox;
};

bool recordResults(const ResultStores& stores, std::int64_t nowMs, std::string& problem,
                   const std::string& publicUrl = "");

}  // namespace collector
