// The staff console's role of the store: staff accounts, their sessions, the
// sign-in throttle's failures, one-time links and the audit. Every rule that
// several collectors on one database must share (a session made on one used
// on another, the tries counted across all of them) lives in these rows.
//
// Schema (both databases; version 8):
//   staff(id integer primary key, name text not null unique, role text not null,
//         password_hash text not null default '',   -- '' until the link is used
//         created_ms integer not null)
//   staff_sessions(token_hash text primary key,    -- SHA-256 of the cookie's token
//         staff_id integer not null references staff, created_ms, seen_ms)
//   signin_failures(subject text primary key,       -- "name:NAME" or "address:ADDR"
//         failures integer not null, last_ms integer not null)
//   one_time_links(token_hash text primary key, kind text not null, -- 'staff', 'join'
//         subject text not null,                    -- the staff member's or player's name
//         secret text not null,                     -- a join link's key until downloaded
//         created_ms, expires_ms, used_ms integer not null)  -- used_ms 0: not used
//   audit(id integer primary key, at_ms integer not null, who text not null,
//         address text not null, kind text not null, what text not null) -- index (at_ms)
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace collector {

struct StaffMember {
  std::string name;
  std::string role;  // owner, reviewer, events, members
  std::int64_t createdMs = 0;
  bool hasPassword = false;
};

// A session as it stands once checked.
struct StaffSession {
  std::string name;
  std::string role;
  std::int64_t createdMs = 0;
};

// One line of the audit; `who` is a staff member's name or "shell".
struct AuditEntry {
  std::int64_t atMs = 0;
  std::string who;
  std::string address;  // the client's address, "" from the shell
  std::string kind;     // signin, signin_failed, signout, player_add, ...
  std::string what;     // what changed, in words
};
struct AuditFilter {
  std::int64_t sinceMs = 0;
  std::int64_t untilMs = std::numeric_limits<std::int64_t>::max();
  std::string who;   // "": anyone
  std::string kind;  // "": any kind
  std::int64_t limit = 1000;
};

// What a one-time link is now.
enum class LinkState { valid, unknown, used, expired };
struct OneTimeLink {
  LinkState state = LinkState::unknown;
  std::string kind;     // "staff" or "join"
  std::string subject;  // the staff member's or the player's name
  std::string secret;   // a join link's key, handed out once
  std::int64_t expiresMs = 0;
};

class StaffStore {
 public:
  virtual ~StaffStore() = default;
  // Adds a staff member with no password yet. Fails when the name is taken.
  virtual bool addStaff(const std::string& name, const std::string& role, std::int64_t nowMs,
                        std::string& error) = 0;
  // Every staff member, by name.
  virtual bool listStaff(std::vector<StaffMember>& staff, std::string& error) = 0;
  // Changes a member's role, or (role "") removes the member with their
  // unused links; either way ends the member's sessions in the same
  // transaction.
  // Fails with "no staff member named 'NAME'" when there is none.
  virtual bool changeStaff(const std::string& name, const std::string& role,
                           std::string& error) = 0;
  // The member's password hash and role; `found` false when there is none.
  virtual bool staffSignIn(const std::string& name, std::string& passwordHash, std::string& role,
                           bool& found, std::string& error) = 0;

  // A session of the named member, known by its token's hash.
  virtual bool addSession(const std::string& tokenHash, const std::string& name, std::int64_t nowMs,
                          std::string& error) = 0;
  // The session of `tokenHash` at `nowMs`: found only while it is within
  // `idleMs` of its last use and `absoluteMs` of its start, its last use
  // then set to now; an expired one is deleted.
  virtual bool useSession(const std::string& tokenHash, std::int64_t nowMs, std::int64_t idleMs,
                          std::int64_t absoluteMs, StaffSession& session, bool& found,
                          std::string& error) = 0;
  virtual bool endSession(const std::string& tokenHash, std::string& error) = 0;

  // Counts a failed sign-in of `subject` at `nowMs` (the count starts again
  // when the previous one is older than `forgetBeforeMs`); `failures` the
  // count after it. Every subject whose latest failure is older than that
  // is forgotten, so the failures kept are those of the quiet time only.
  virtual bool addSignInFailure(const std::string& subject, std::int64_t nowMs,
                                std::int64_t forgetBeforeMs, std::int64_t& failures,
                                std::string& error) = 0;
  // The failures of `subject` since `sinceMs` and the latest one's time.
  virtual bool signInFailures(const std::string& subject, std::int64_t sinceMs,
                              std::int64_t& failures, std::int64_t& lastMs, std::string& error) = 0;
  virtual bool clearSignInFailures(const std::string& subject, std::string& error) = 0;

  // A one-time link of `kind` for `subject`, valid until `expiresMs`; any
  // unused link of the same kind and subject is void from now on.
  virtual bool addLink(const std::string& kind, const std::string& tokenHash,
                       const std::string& subject, const std::string& secret, std::int64_t nowMs,
                       std::int64_t expiresMs, std::string& error) = 0;
  // The link as it stands at `nowMs`, its secret left out.
  virtual bool readLink(const std::string& tokenHash, std::int64_t nowMs, OneTimeLink& link,
                        std::string& error) = 0;
  // Uses a valid link of `kind` at `nowMs`: a join link hands over its
  // secret, which the database then forgets; a staff link sets the
  // member's `passwordHash`. Nothing changes unless `link.state` is valid.
  virtual bool useLink(const std::string& kind, const std::string& tokenHash, std::int64_t nowMs,
                       const std::string& passwordHash, OneTimeLink& link, std::string& error) = 0;

  // Records one line, and forgets the lines older than `keepSinceMs` and
  // all but the latest `keepCount`.
  virtual bool addAudit(const AuditEntry& entry, std::int64_t keepSinceMs, std::int64_t keepCount,
                        std::string& error) = 0;
  // The lines the filter lets through, the latest first.
  virtual bool listAudit(const AuditFilter& filter, std::vector<AuditEntry>& entries,
                         std::string& error) = 0;
};

// Records one line of the audit, kept a year and to a bounded count.
bool recordAudit(StaffStore& store, const AuditEntry& entry, std::string& error);
// Makes a one-time link of `kind` for `subject` valid for `lifeMs` from
// `nowMs`: `token` the link's secret part (64 hex digits), known to the
// store only by its SHA-256.
bool makeLink(StaffStore& store, const std::string& kind, const std::string& subject,
              const std::string& secret, std::int64_t nowMs, std::int64_t lifeMs,
              std::string& token, std::string& error);

}  // namespace collector
