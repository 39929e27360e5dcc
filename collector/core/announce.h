// What the collector posts to the community's chat webhooks: the messages
// (a player's milestone, a week's results, an event's results) and the JSON
// body that incoming webhooks of Discord and compatible chat servers take.
// Pure functions: no I/O, no clock.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/calendar.h"
#include "core/ranking.h"

namespace collector {

// Counted all-time miles at which a player's milestone is announced.
inline constexpr std::array<std::int64_t, 5> milestoneMiles = {1000, 5000, 10000, 50000, 100000};

// The milestones passed when a player's counted all-time miles go from
// `before` to `after`: each one with before < miles <= after, compared in
// whole millionths of a mile as the totals add them.
std::vector<std::int64_t> milestonesPassed(double before, double after);

// Text from a player (a name, a truck) or the operator (an event's name) made
// inert in a chat message: the chat's markup (* _ ~ ` | > # [ ] ( ) and the
// backslash) escaped with a backslash, a zero-width space after every @ so
// that no @everyone, @here or <@id> mentions anyone, and control characters
// (C0, DEL, C1, bidirectional controls) dropped.
std::string chatSafe(const std::string& text);

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

// The messages, their names passed through chatSafe.
std::string milestoneMessage(const std::string& player, std::int64_t miles);
// The ISO week `week` of `isoYear`, Monday `firstDay` (days since
// 1970-01-01), and its best drivers.
std::string weekMessage(int isoYear, int week, std::int64_t firstDay,
                        const std::vector<Standing>& top);
std::string eventMessage(const std::string& event, std::int64_t drivers,
                         const std::vector<Standing>& top);

// When a failed post is tried again. A delivery is given up once its next
// try would come more than giveUpAfterMs after the delivery was made.
inline constexpr std::int64_t firstPauseMs = 5000;      // doubling after each failure
inline constexpr std::int64_t longestPauseMs = 600000;  //   up to this
inline constexpr std::int64_t giveUpAfterMs = 86400000;
// A 429's Retry-After is waited out, at least minRetryAfterMs and at most
// maxRetryAfterMs.
inline constexpr std::int64_t minRetryAfterMs = 1000;
inline constexpr std::int64_t maxRetryAfterMs = 3600000;

// A Retry-After value in seconds ("1", "2.5") as milliseconds, rounded up
// and held within [minRetryAfterMs, maxRetryAfterMs]; false when it is no
// such number (an HTTP date is not taken: the growing pause applies).
bool parseRetryAfter(const std::string& value, std::int64_t& ms);
// After the `attempts`-th failed try at `nowMs` of a delivery made at
// `createdMs`: true with the time of the next try (after `retryAfterMs` when
// the answer asked for it, > 0, else after the growing pause), false when
// the delivery is to be given up.
bool nextTry(std::int64_t createdMs, std::int64_t attempts, std::int64_t nowMs,
             std::int64_t retryAfterMs, std::int64_t& nextMs);

// The JSON body of a webhook post: the message as `content`, and
// `allowed_mentions` that lets it ping no one whatever it says.
std::string webhookBody(const std::string& content);

}  // namespace collector
