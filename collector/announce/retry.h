// When a failed post to a webhook is tried again, and when it is given up.
// Pure functions, no clock.
#pragma once

#include <cstdint>
#include <string>

namespace collector {

// When a failed post is tried again. A delivery is given up once its next
// try would come more than giveUpAfterMs after the delivery was made.
inline constexpr std::int64_t firstPauseMs = 5000;      // doubling after each failure
inline constexpr std::int64_t longestPauseMs = 600000;  //   up to this
inline constexpr std::int64_t giveUpAfterMs = 86400000;
// A 429's Retry-After is waited out, at least minRetryAfterMs and at most
// maxRetryAfterMs.
inline constexpr std::int64_t minRetryAfterMs = 1000;
inline constexpr std::int64_t maxRetryAfterMs = 3600000;
// A webhook that answers 401, 403, 404 or 410 has probably been deleted, or
// its URL is wrong: a delivery so answered is given up after goneTries tries
// (with the growing pause between them), not tried for a day.
inline constexpr std::int64_t goneTries = 3;

// Whether an answer's status says the webhook's URL is probably wrong or the
// webhook was deleted.
bool webhookGone(long status);

// A Retry-After value as milliseconds from `nowMs`: seconds ("1", "2.5",
// "007", read by their value whatever their width, rounded up) or an HTTP
// date ("Wed, 21 Oct 2026 07:28:00 GMT"), held within [minRetryAfterMs,
// maxRetryAfterMs]; false when it is neither (the growing pause applies).
bool parseRetryAfter(const std::string& value, std::int64_t nowMs, std::int64_t& ms);
// After the `attempts`-th failed try at `nowMs` of a delivery made at
// `createdMs`, answered `status` (0: no answer): true with the time of the
// next try (after `retryAfterMs` when the answer asked for it, > 0, else
// after the growing pause), false when the delivery is to be given up.
bool nextTry(std::int64_t createdMs, std::int64_t attempts, std::int64_t nowMs, long status,
             std::int64_t retryAfterMs, std::int64_t& nextMs);

}  // namespace collector
