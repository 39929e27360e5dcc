#include "store/joined.h"

#include "store/shared.h"

namespace collector {

namespace {

// The store that holds nothing.
class Nothing final : public Store {
 public:
  bool addPlayer(const std::string&, const std::string&, std::int64_t,
                 std::string& error) override {
    return refused(error);
  }
  bool listPlayers(std::vector<PlayerInfo>& players, std::string&) override {
    players.clear();
    return true;
  }
  bool revokePlayer(const std::string& name, const std::function<std::int64_t()>&,
                    std::string& error) override {
    error = noValidKeyError(name);
    return false;
  }
  bool replaceKey(const std::string& name, const std::string&, std::string& error) override {
    error = noSuchPlayerError(name);
    return false;
  }
  bool addLeave(const std::string& name, std::int64_t, std::int64_t, std::int64_t,
                std::string& error) override {
    error = noSuchPlayerError(name);
    return false;
  }
  bool clearLeave(const std::string& name, std::int64_t& removed, std::string& error) override {
    removed = 0;
    error = noSuchPlayerError(name);
    return false;
  }
  bool listLeave(std::int64_t, std::int64_t, std::vector<PlayerLeave>& leave,
                 std::string&) override {
    leave.clear();
    return true;
  }
  bool playerLasts(std::vector<PlayerLasts>& lasts, std::string&) override {
    lasts.clear();
    return true;
  }
  bool addReports(const std::vector<IncomingReport>&, std::vector<AddOutcome>&,
                  std::string& error) override {
    return refused(error);
  }
  bool leaderboard(const Period&, std::vector<LeaderboardRow>& rows, std::string&) override {
    rows.clear();
    return true;
  }
  bool communityDays(const Period&, std::vector<DayTotals>& days, std::string&) override {
    days.clear();
    return true;
  }
  bool playerActivity(const std::string& name, const Period&, PlayerView&, bool& found,
                      std::string& error) override {
    found = false;
    error = noSuchPlayerError(name);
    return false;
  }
  bool reviewMark(ReviewMark& mark, std::string&) override {
    mark = ReviewMark();
    return true;
  }
  bool reviewedSince(std::int64_t, std::vector<ReviewedReport>& reports, std::string&) override {
    reports.clear();
    return true;
  }
  bool exportReports(const std::function<void(const StoredReport&)>&, std::string&) override {
    return true;
  }
  bool unreviewedFlags(std::int64_t, const std::string&, std::vector<StoredReport>& reports,
                       std::string&) override {
    reports.clear();
    return true;
  }
  bool reviewFlags(const std::vector<std::int64_t>& ids, bool, std::int64_t,
                   std::string& error) override {
    if (ids.empty()) return true;
    error = notAwaitingReviewError(ids.front());
    return false;
  }
  bool addEvent(Event&, std::int64_t, std::string& error) override { return refused(error); }
  bool listEvents(std::vector<Event>& events, std::string&) override {
    events.clear();
    return true;
  }
  bool removeEvent(std::int64_t id, std::string& error) override {
    error = noSuchEventError(id);
    return false;
  }
  bool pruneEvents(std::int64_t, std::int64_t& removed, std::string&) override {
    removed = 0;
    return true;
  }
  bool changeEvent(const Event& event, std::string& error) override {
    error = noSuchEventError(event.id);
    return false;
  }
  bool eventBoard(const Event&, std::vector<LeaderboardRow>& rows, std::string&) override {
    rows.clear();
    return true;
  }
  bool addAnnouncement(const std::string&, const std::string&, std::int64_t, bool&,
                       std::string& error) override {
    return refused(error);
  }
  bool hasAnnouncement(const std::string&, bool& found, std::string&) override {
    found = false;
    return true;
  }
  bool claimAnnouncement(const std::string&, std::int64_t, std::int64_t, std::int64_t,
                         ClaimedAnnouncement&, bool& found, std::string&) override {
    found = false;
    return true;
  }
  bool settleAnnouncement(const ClaimedAnnouncement&, Delivery, std::int64_t,
                          std::string& error) override {
    return refused(error);
  }
  bool announcementsWaiting(const std::string&, std::int64_t, std::int64_t& count,
                            std::string&) override {
    count = 0;
    return true;
  }
  bool announcementsGivenUp(const std::string&, std::int64_t, std::int64_t& count,
                            std::string&) override {
    count = 0;
    return true;
  }
  bool pruneAnnouncements(std::int64_t, std::string&) override { return true; }
  bool addStaff(const std::string&, const std::string&, std::int64_t, std::string& error) override {
    return refused(error);
  }
  bool listStaff(std::vector<StaffMember>& staff, std::string&) override {
    staff.clear();
    return true;
  }
  bool changeStaff(const std::string& name, const std::string&, std::string& error) override {
    error = noSuchStaffError(name);
    return false;
  }
  bool staffSignIn(const std::string&, std::string&, std::string&, bool& found,
                   std::string&) override {
    found = false;
    return true;
  }
  bool addSession(const std::string&, const std::string&, std::int64_t,
                  std::string& error) override {
    return refused(error);
  }
  bool useSession(const std::string&, std::int64_t, std::int64_t, std::int64_t, StaffSession&,
                  bool& found, std::string&) override {
    found = false;
    return true;
  }
  bool endSession(const std::string&, std::string&) override { return true; }
  bool addSignInFailure(const std::string&, std::int64_t, std::int64_t, std::int64_t&,
                        std::string& error) override {
    return refused(error);
  }
  bool signInFailures(const std::string&, std::int64_t, std::int64_t& failures,
                      std::int64_t& lastMs, std::string&) override {
    failures = lastMs = 0;
    return true;
  }
  bool clearSignInFailures(const std::string&, std::string&) override { return true; }
  bool addLink(const std::string&, const std::string&, const std::string&, const std::string&,
               std::int64_t, std::int64_t, std::string& error) override {
    return refused(error);
  }
  bool readLink(const std::string&, std::int64_t, OneTimeLink& link, std::string&) override {
    link = OneTimeLink();
    return true;
  }
  bool useLink(const std::string&, const std::string&, std::int64_t, const std::string&,
               OneTimeLink& link, std::string&) override {
    link = OneTimeLink();
    return true;
  }
  bool addAudit(const AuditEntry&, std::int64_t, std::int64_t, std::string& error) override {
    return refused(error);
  }
  bool listAudit(const AuditFilter&, std::vector<AuditEntry>& entries, std::string&) override {
    entries.clear();
    return true;
  }
  bool healthy(std::string&) override { return true; }

 private:
  static bool refused(std::string& error) {
    error = "this store keeps nothing";
    return false;
  }
};

Nothing nothing;

template <class Role>
Role* orElse(Role* role, Store* rest) {
  if (role) return role;
  if (rest) return rest;
  return &nothing;
}

}  // namespace

JoinedStore::JoinedStore(StoreRoles roles, Store* rest)
    : roles_{orElse(roles.players, rest), orElse(roles.intake, rest), orElse(roles.boards, rest),
             orElse(roles.reviews, rest), orElse(roles.events, rest), orElse(roles.outbox, rest),
             orElse(roles.staff, rest),   orElse(roles.health, rest)} {}

bool JoinedStore::addPlayer(const std::string& name, const std::string& keyHash, std::int64_t nowMs,
                            std::string& error) {
  return roles_.players->addPlayer(name, keyHash, nowMs, error);
}
bool JoinedStore::listPlayers(std::vector<PlayerInfo>& players, std::string& error) {
  return roles_.players->listPlayers(players, error);
}
bool JoinedStore::revokePlayer(const std::string& name, const std::function<std::int64_t()>& nowMs,
                               std::string& error) {
  return roles_.players->revokePlayer(name, nowMs, error);
}
bool JoinedStore::replaceKey(const std::string& name, const std::string& keyHash,
                             std::string& error) {
  return roles_.players->replaceKey(name, keyHash, error);
}
bool JoinedStore::addLeave(const std::string& name, std::int64_t fromDay, std::int64_t toDay,
                           std::int64_t nowMs, std::string& error) {
  return roles_.players->addLeave(name, fromDay, toDay, nowMs, error);
}
bool JoinedStore::clearLeave(const std::string& name, std::int64_t& removed, std::string& error) {
  return roles_.players->clearLeave(name, removed, error);
}
bool JoinedStore::listLeave(std::int64_t fromDay, std::int64_t untilDay,
                            std::vector<PlayerLeave>& leave, std::string& error) {
  return roles_.players->listLeave(fromDay, untilDay, leave, error);
}
bool JoinedStore::playerLasts(std::vector<PlayerLasts>& lasts, std::string& error) {
  return roles_.reviews->playerLasts(lasts, error);
}
bool JoinedStore::addReports(const std::vector<IncomingReport>& batch,
                             std::vector<AddOutcome>& outcomes, std::string& error) {
  return roles_.intake->addReports(batch, outcomes, error);
}
bool JoinedStore::leaderboard(const Period& period, std::vector<LeaderboardRow>& rows,
                              std::string& error) {
  return roles_.boards->leaderboard(period, rows, error);
}
bool JoinedStore::communityDays(const Period& period, std::vector<DayTotals>& days,
                                std::string& error) {
  return roles_.boards->communityDays(period, days, error);
}
bool JoinedStore::playerActivity(const std::string& name, const Period& daysPeriod,
                                 PlayerView& view, bool& found, std::string& error) {
  return roles_.boards->playerActivity(name, daysPeriod, view, found, error);
}
bool JoinedStore::reviewMark(ReviewMark& mark, std::string& error) {
  return roles_.boards->reviewMark(mark, error);
}
bool JoinedStore::reviewedSince(std::int64_t sinceMs, std::vector<ReviewedReport>& reports,
                                std::string& error) {
  return roles_.boards->reviewedSince(sinceMs, reports, error);
}
bool JoinedStore::exportReports(const std::function<void(const StoredReport&)>& each,
                                std::string& error) {
  return roles_.reviews->exportReports(each, error);
}
bool JoinedStore::unreviewedFlags(std::int64_t sinceMs, const std::string& player,
                                  std::vector<StoredReport>& reports, std::string& error) {
  return roles_.reviews->unreviewedFlags(sinceMs, player, reports, error);
}
bool JoinedStore::reviewFlags(const std::vector<std::int64_t>& ids, bool accept, std::int64_t nowMs,
                              std::string& error) {
  return roles_.reviews->reviewFlags(ids, accept, nowMs, error);
}
bool JoinedStore::addEvent(Event& event, std::int64_t nowMs, std::string& error) {
  return roles_.events->addEvent(event, nowMs, error);
}
bool JoinedStore::listEvents(std::vector<Event>& events, std::string& error) {
  return roles_.events->listEvents(events, error);
}
bool JoinedStore::removeEvent(std::int64_t id, std::string& error) {
  return roles_.events->removeEvent(id, error);
}
bool JoinedStore::pruneEvents(std::int64_t endedBeforeMs, std::int64_t& removed,
                              std::string& error) {
  return roles_.events->pruneEvents(endedBeforeMs, removed, error);
}
bool JoinedStore::changeEvent(const Event& event, std::string& error) {
  return roles_.events->changeEvent(event, error);
}
bool JoinedStore::eventBoard(const Event& event, std::vector<LeaderboardRow>& rows,
                             std::string& error) {
  return roles_.events->eventBoard(event, rows, error);
}
bool JoinedStore::addAnnouncement(const std::string& key, const std::string& body,
                                  std::int64_t nowMs, bool& added, std::string& error) {
  return roles_.outbox->addAnnouncement(key, body, nowMs, added, error);
}
bool JoinedStore::hasAnnouncement(const std::string& key, bool& found, std::string& error) {
  return roles_.outbox->hasAnnouncement(key, found, error);
}
bool JoinedStore::claimAnnouncement(const std::string& webhook, std::int64_t sinceMs,
                                    std::int64_t nowMs, std::int64_t leaseUntilMs,
                                    ClaimedAnnouncement& claimed, bool& found, std::string& error) {
  return roles_.outbox->claimAnnouncement(webhook, sinceMs, nowMs, leaseUntilMs, claimed, found,
                                          error);
}
bool JoinedStore::settleAnnouncement(const ClaimedAnnouncement& claimed, Delivery outcome,
                                     std::int64_t atMs, std::string& error) {
  return roles_.outbox->settleAnnouncement(claimed, outcome, atMs, error);
}
bool JoinedStore::announcementsWaiting(const std::string& webhook, std::int64_t sinceMs,
                                       std::int64_t& count,
                                       std::string& error) {
  return roles_.outbox->announcementsWaiting(webhook, sinceMs, count, error);
}
bool JoinedStore::announcementsGivenUp(const std::string& webhook, std::int64_t sinceMs,
                                       std::int64_t& count, std::string& error) {
  return roles_.outbox->announcementsGivenUp(webhook, sinceMs, count, error);
}
bool JoinedStore::pruneAnnouncements(std::int64_t beforeMs, std::string& error) {
  return roles_.outbox->pruneAnnouncements(beforeMs, error);
}
bool JoinedStore::addStaff(const std::string& name, const std::string& role, std::int64_t nowMs,
                           std::string& error) {
  return roles_.staff->addStaff(name, role, nowMs, error);
}
bool JoinedStore::listStaff(std::vector<StaffMember>& staff, std::string& error) {
  return roles_.staff->listStaff(staff, error);
}
bool JoinedStore::changeStaff(const std::string& name, const std::string& role,
                              std::string& error) {
  return roles_.staff->changeStaff(name, role, error);
}
bool JoinedStore::staffSignIn(const std::string& name, std::string& passwordHash, std::string& role,
                              bool& found, std::string& error) {
  return roles_.staff->staffSignIn(name, passwordHash, role, found, error);
}
bool JoinedStore::addSession(const std::string& tokenHash, const std::string& name,
                             std::int64_t nowMs, std::string& error) {
  return roles_.staff->addSession(tokenHash, name, nowMs, error);
}
bool JoinedStore::useSession(const std::string& tokenHash, std::int64_t nowMs, std::int64_t idleMs,
                             std::int64_t absoluteMs, StaffSession& session, bool& found,
                             std::string& error) {
  return roles_.staff->useSession(tokenHash, nowMs, idleMs, absoluteMs, session, found, error);
}
bool JoinedStore::endSession(const std::string& tokenHash, std::string& error) {
  return roles_.staff->endSession(tokenHash, error);
}
bool JoinedStore::addSignInFailure(const std::string& subject, std::int64_t nowMs,
                                   std::int64_t forgetBeforeMs, std::int64_t& failures,
                                   std::string& error) {
  return roles_.staff->addSignInFailure(subject, nowMs, forgetBeforeMs, failures, error);
}
bool JoinedStore::signInFailures(const std::string& subject, std::int64_t sinceMs,
                                 std::int64_t& failures, std::int64_t& lastMs, std::string& error) {
  return roles_.staff->signInFailures(subject, sinceMs, failures, lastMs, error);
}
bool JoinedStore::clearSignInFailures(const std::string& subject, std::string& error) {
  return roles_.staff->clearSignInFailures(subject, error);
}
bool JoinedStore::addLink(const std::string& kind, const std::string& tokenHash,
                          const std::string& subject, const std::string& secret, std::int64_t nowMs,
                          std::int64_t expiresMs, std::string& error) {
  return roles_.staff->addLink(kind, tokenHash, subject, secret, nowMs, expiresMs, error);
}
bool JoinedStore::readLink(const std::string& tokenHash, std::int64_t nowMs, OneTimeLink& link,
                           std::string& error) {
  return roles_.staff->readLink(tokenHash, nowMs, link, error);
}
bool JoinedStore::useLink(const std::string& kind, const std::string& tokenHash, std::int64_t nowMs,
                          const std::string& passwordHash, OneTimeLink& link, std::string& error) {
  return roles_.staff->useLink(kind, tokenHash, nowMs, passwordHash, link, error);
}
bool JoinedStore::addAudit(const AuditEntry& entry, std::int64_t keepSinceMs,
                           std::int64_t keepCount, std::string& error) {
  return roles_.staff->addAudit(entry, keepSinceMs, keepCount, error);
}
bool JoinedStore::listAudit(const AuditFilter& filter, std::vector<AuditEntry>& entries,
                            std::string& error) {
  return roles_.staff->listAudit(filter, entries, error);
}
bool JoinedStore::healthy(std::string& why) { return roles_.health->healthy(why); }
std::string JoinedStore::cannotStore() { return roles_.health->cannotStore(); }
std::vector<Store::Gauge> JoinedStore::gauges() { return roles_.health->gauges(); }

}  // namespace collector
