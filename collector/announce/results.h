// The results worth posting: the week's best drivers once the week has
// ended, and each event's once it has, recorded in the store's outbox
// (milestones are recorded by the store with the reports that reach them).
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

// Events that ended this long ago or less have their results announced
// (after a stop, too).
inline constexpr std::int64_t eventsLookBackMs = 7 * msPerDay;
// Whether the results of an event that ends at `endMs` are due at `nowMs`:
// settled, and not older than eventsLookBackMs.
bool eventResultsDue(std::int64_t endMs, std::int64_t nowMs);

// The ISO week `week` of `isoYear`, Monday `firstDay` (days since
// 1970-01-01), and its best drivers.
std::string weekMessage(int isoYear, int week, std::int64_t firstDay,
                        const std::vector<Standing>& top);
std::string eventMessage(const std::string& event, std::int64_t drivers,
                         const std::vector<Standing>& top);

// The best `topDrivers` of a board by counted miles, and how many drove at all.
inline constexpr std::size_t topDrivers = 5;
std::vector<Standing> topOf(const std::vector<LeaderboardRow>& rows, std::int64_t& drivers);

// Records, once each, the results of the last ended week and of the events
// that ended lately (a board without a driver is recorded with an empty
// body, which is never posted). False with what went wrong, for the log,
// when the store failed.
bool recordResults(Store& store, std::int64_t nowMs, std::string& problem);

}  // namespace collector
