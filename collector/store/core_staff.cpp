// The store's calls of the staff console and of players' keys given again,
// written once over the seam.
#include <algorithm>

#include "core/keys.h"
#include "core/staff.h"
#include "store/core.h"

namespace collector {

using namespace seam;

namespace {

using sql::Query;

bool finish(Session& session, bool done, std::string& error) {
  if (done && session.commit(error)) return true;
  session.rollBack();
  return false;
}

// The staff member's id; `found` false when there is none.
bool staffId(Session& session, const std::string& name, std::int64_t& id, bool& found,
             std::string& error) {
  found = false;
  return session.run(
      Query::staffByName, {name},
      [&](const Row& row) {
        id = row.integer(0);
        found = true;
      },
      error);
}

LinkState stateOf(std::int64_t expiresMs, std::int64_t usedMs, std::int64_t nowMs) {
  if (usedMs != 0) return LinkState::used;
  return nowMs >= expiresMs ? LinkState::expired : LinkState::valid;
}

// Reads the link of `tokenHash` into `link`, the secret included.
bool readLinkRow(Session& session, const std::string& tokenHash, std::int64_t nowMs,
                 OneTimeLink& link, std::string& error) {
  link = OneTimeLink();
  return session.run(
      Query::selectLink, {tokenHash},
      [&](const Row& row) {
        enum { kind, subject, secret, expiresMs, usedMs };
        link = {stateOf(row.integer(expiresMs), row.integer(usedMs), nowMs), row.text(kind),
                row.text(subject), row.text(secret), row.integer(expiresMs)};
      },
      error);
}

// Links and failures are kept this long past their end, then forgotten.
constexpr std::int64_t keptPastEndMs = 30LL * 24 * 3600 * 1000;

}  // namespace

bool recordAudit(StaffStore& store, const AuditEntry& entry, std::string& error) {
  return store.addAudit(entry, entry.atMs - auditKeepMs, auditKeepCount, error);
}

bool makeLink(StaffStore& store, const std::string& kind, const std::string& subject,
              const std::string& secret, std::int64_t nowMs, std::int64_t lifeMs,
              std::string& token, std::string& error) {
  token = generateKey();
  if (token.empty()) {
    error = "the random source failed";
    return false;
  }
  return store.addLink(kind, hashKey(token), subject, secret, nowMs, nowMs + lifeMs, error);
}

bool CoreStore::replaceKey(const std::string& name, const std::string& keyHash,
                           std::string& error) {
  auto session = backend_->session(Use::players, error);
  if (!session || !session->begin(error)) return false;
  // The player's row lock first: a batch of the old key's reports ends first.
  bool done = session->run(Query::lockPlayerName, {name}, {}, error) &&
              session->run(Query::replaceKey, {name, keyHash}, {}, error);
  const std::int64_t changed = done ? session->changed() : 0;
  // A join link made before holds the old key: void.
  done = done && session->run(Query::voidLinks, {std::string("join"), name}, {}, error);
  if (!done && session->duplicate()) error = duplicatePlayerError(name);
  if (done && changed != 1) {
    error = noSuchPlayerError(name);
    done = false;
  }
  return finish(*session, done, error);
}

bool CoreStore::addStaff(const std::string& name, const std::string& role, std::int64_t nowMs,
                         std::string& error) {
  auto session = backend_->session(Use::write, error);
  if (!session) return false;
  if (session->run(Query::insertStaff, {name, role, nowMs}, {}, error)) return true;
  if (session->duplicate()) error = duplicateStaffError(name);
  return false;
}

bool CoreStore::listStaff(std::vector<StaffMember>& staff, std::string& error) {
  auto session = backend_->session(Use::read, error);
  if (!session ||
      !readAll(
          *session, Query::selectStaff, {}, staff,
          [](const Row& row) {
            return StaffMember{row.text(0), row.text(1), row.integer(2), row.integer(3) != 0};
          },
          error)) {
    return false;
  }
  std::sort(staff.begin(), staff.end(),
            [](const StaffMember& a, const StaffMember& b) { return a.name < b.name; });
  return true;
}

bool CoreStore::changeStaff(const std::string& name, const std::string& role, std::string& error) {
  auto session = backend_->session(Use::write, error);
  if (!session || !session->begin(error)) return false;
  std::int64_t id = 0;
  bool found = false;
  bool done = staffId(*session, name, id, found, error);
  if (done && !found) {
    error = noSuchStaffError(name);
    done = false;
  }
  done = done && session->run(Query::deleteStaffSessions, {id}, {}, error);
  if (role.empty()) {
    done = done && session->run(Query::voidLinks, {std::string("staff"), name}, {}, error) &&
           session->run(Query::deleteStaff, {id}, {}, error);
  } else {
    done = done && session->run(Query::updateStaffRole, {id, role}, {}, error);
  }
  return finish(*session, done, error);
}

bool CoreStore::staffSignIn(const std::string& name, std::string& passwordHash, std::string& role,
                            bool& found, std::string& error) {
  found = false;
  auto session = backend_->session(Use::read, error);
  return session && session->run(
                        Query::staffByName, {name},
                        [&](const Row& row) {
                          passwordHash = row.text(1);
                          role = row.text(2);
                          found = true;
                        },
                        error);
}

bool CoreStore::addSession(const std::string& tokenHash, const std::string& name,
                           std::int64_t nowMs, std::string& error) {
  auto session = backend_->session(Use::write, error);
  if (!session ||
      !session->run(Query::pruneSessions, {nowMs - sessionIdleMs, nowMs - sessionAbsoluteMs}, {},
                    error) ||
      !session->run(Query::insertSession, {tokenHash, name, nowMs}, {}, error)) {
    return false;
  }
  if (session->changed() == 1) return true;
  error = noSuchStaffError(name);
  return false;
}

bool CoreStore::useSession(const std::string& tokenHash, std::int64_t nowMs, std::int64_t idleMs,
                           std::int64_t absoluteMs, StaffSession& staff, bool& found,
                           std::string& error) {
  found = false;
  auto session = backend_->session(Use::write, error);
  std::int64_t createdMs = 0, seenMs = 0;
  bool exists = false;
  if (!session || !session->run(
                      Query::selectSession, {tokenHash},
                      [&](const Row& row) {
                        createdMs = row.integer(0);
                        seenMs = row.integer(1);
                        staff = {row.text(2), row.text(3), createdMs};
                        exists = true;
                      },
                      error)) {
    return false;
  }
  if (!exists) return true;
  if (nowMs - seenMs >= idleMs || nowMs - createdMs >= absoluteMs) {
    return session->run(Query::deleteSession, {tokenHash}, {}, error);
  }
  found = true;
  return session->run(Query::touchSession, {tokenHash, nowMs}, {}, error);
}

bool CoreStore::endSession(const std::string& tokenHash, std::string& error) {
  auto session = backend_->session(Use::write, error);
  return session && session->run(Query::deleteSession, {tokenHash}, {}, error);
}

bool CoreStore::addSignInFailure(const std::string& subject, std::int64_t nowMs,
                                 std::int64_t forgetBeforeMs, std::int64_t& failures,
                                 std::string& error) {
  auto session = backend_->session(Use::write, error);
  failures = 0;
  return session && session->run(Query::pruneFailures, {forgetBeforeMs}, {}, error) &&
         readCount(*session, Query::addFailure, {subject, nowMs, forgetBeforeMs}, failures, error);
}

bool CoreStore::signInFailures(const std::string& subject, std::int64_t sinceMs,
                               std::int64_t& failures, std::int64_t& lastMs, std::string& error) {
  failures = lastMs = 0;
  auto session = backend_->session(Use::read, error);
  return session && session->run(
                        Query::selectFailures, {subject, sinceMs},
                        [&](const Row& row) {
                          failures = row.integer(0);
                          lastMs = row.integer(1);
                        },
                        error);
}

bool CoreStore::clearSignInFailures(const std::string& subject, std::string& error) {
  auto session = backend_->session(Use::write, error);
  return session && session->run(Query::clearFailures, {subject}, {}, error);
}

bool CoreStore::addLink(const std::string& kind, const std::string& tokenHash,
                        const std::string& subject, const std::string& secret, std::int64_t nowMs,
                        std::int64_t expiresMs, std::string& error) {
  auto session = backend_->session(Use::write, error);
  if (!session || !session->begin(error)) return false;
  const bool done = session->run(Query::pruneLinks, {nowMs - keptPastEndMs}, {}, error) &&
                    session->run(Query::forgetSecrets, {nowMs}, {}, error) &&
                    session->run(Query::voidLinks, {kind, subject}, {}, error) &&
                    session->run(Query::insertLink,
                                 {tokenHash, kind, subject, secret, nowMs, expiresMs}, {}, error);
  return finish(*session, done, error);
}

bool CoreStore::readLink(const std::string& tokenHash, std::int64_t nowMs, OneTimeLink& link,
                         std::string& error) {
  auto session = backend_->session(Use::read, error);
  if (!session || !readLinkRow(*session, tokenHash, nowMs, link, error)) return false;
  link.secret.clear();
  return true;
}

bool CoreStore::useLink(const std::string& kind, const std::string& tokenHash, std::int64_t nowMs,
                        const std::string& passwordHash, OneTimeLink& link, std::string& error) {
  auto session = backend_->session(Use::write, error);
  if (!session || !session->begin(error)) return false;
  bool done = readLinkRow(*session, tokenHash, nowMs, link, error);
  if (done && link.kind != kind) link = OneTimeLink();
  if (!done || link.state != LinkState::valid) {
    link.secret.clear();
    return finish(*session, done, error);
  }
  done = session->run(Query::markLinkUsed, {tokenHash, nowMs}, {}, error);
  if (done && session->changed() != 1) {
    link.state = LinkState::used;  // another took it first
    link.secret.clear();
    session->rollBack();
    return true;
  }
  if (done && kind == "staff") {
    done = session->run(Query::setPassword, {link.subject, passwordHash}, {}, error);
    if (done && session->changed() != 1) {
      error = noSuchStaffError(link.subject);
      done = false;
    }
  }
  return finish(*session, done, error);
}

bool CoreStore::addAudit(const AuditEntry& entry, std::int64_t keepSinceMs, std::int64_t keepCount,
                         std::string& error) {
  auto session = backend_->session(Use::write, error);
  if (!session || !session->begin(error)) return false;
  const bool done =
      session->run(Query::insertAudit,
                   {entry.atMs, entry.who, entry.address, entry.kind, entry.what}, {}, error) &&
      session->run(Query::pruneAudit, {keepSinceMs, keepCount}, {}, error);
  return finish(*session, done, error);
}

bool CoreStore::listAudit(const AuditFilter& filter, std::vector<AuditEntry>& entries,
                          std::string& error) {
  auto session = backend_->session(Use::read, error);
  return session &&
         readAll(
             *session, Query::selectAudit,
             {filter.sinceMs, filter.untilMs, filter.who, filter.kind, filter.limit}, entries,
             [](const Row& row) {
               return AuditEntry{row.integer(0), row.text(1), row.text(2), row.text(3),
                                 row.text(4)};
             },
             error);
}

}  // namespace collector
