// The staff console's rules, pure: the roles and what each may do (the one
// table every check reads), passwords and their Argon2id hashes, how long a
// session and a one-time link last, and how the sign-in throttle pauses.
#pragma once

#include <cstdint>
#include <string>

namespace collector {

// What a staff member may do, by role.
enum class StaffAction {
  view,          // the console's home and the audit
  reviewFlags,   // accept or reject flags
  editEvents,    // add, change, remove events
  editPlayers,   // add players, give a new key, revoke
  readActivity,  // the month's activity and its CSV
  editStaff,     // add, remove and change staff
};

// "owner", "reviewer", "events", "members"; false for any other word.
bool isStaffRole(const std::string& role);
// Whether `role` may do `action`: the one table of the console's rights.
bool staffMay(const std::string& role, StaffAction action);
// Whether a staff member's name is acceptable: 1 to 32 letters, digits, '.',
// '-' or '_'. "" when it is, else the reason.
std::string staffNameProblem(const std::string& name);

// A password: 12 to 256 bytes. "" when it is acceptable, else the reason.
std::string passwordProblem(const std::string& password);
// The password's Argon2id hash in libsodium's string form, with at least
// its interactive limits; "" when hashing failed (out of memory).
std::string hashPassword(const std::string& password);
// Whether `password` matches `hash`. An empty or malformed hash matches
// nothing, and costs a hash all the same (so an unknown name takes as long
// as a wrong password).
bool checkPassword(const std::string& password, const std::string& hash);

// How long things last, in milliseconds.
constexpr std::int64_t sessionIdleMs = 30 * 60 * 1000;
constexpr std::int64_t sessionAbsoluteMs = 12 * 3600 * 1000;
constexpr std::int64_t staffLinkMs = 24 * 3600 * 1000;
constexpr std::int64_t joinLinkMs = 7 * 24 * 3600 * 1000;
constexpr std::int64_t auditKeepMs = 366LL * 24 * 3600 * 1000;
constexpr std::int64_t auditKeepCount = 1000000;

// The sign-in throttle: failures counted in the database per name and per
// client address. A name may try again freely until `nameFreeTries`
// failures, then waits a pause that doubles with each further failure, from
// a minute up to 15; an address may fail `addressTries` times within
// `addressWindowMs`. Failures older than `forgetMs` are forgotten.
constexpr std::int64_t nameFreeTries = 5;
constexpr std::int64_t namePauseMs = 60 * 1000;
constexpr std::int64_t nameMaxPauseMs = 15 * 60 * 1000;
constexpr std::int64_t addressTries = 30;
constexpr std::int64_t addressWindowMs = 15 * 60 * 1000;
constexpr std::int64_t throttleForgetMs = 24 * 3600 * 1000;

// The pause after `failures` failures of a name: 0 below the free tries.
std::int64_t namePauseAfter(std::int64_t failures);
// When the next try is allowed, given the failures and the latest one's
// time, for a name or (`address`) for an address; 0: now.
std::int64_t throttledUntil(bool address, std::int64_t failures, std::int64_t lastMs);

}  // namespace collector
