// A Store put together from objects that each serve some of its roles: what
// a test or a yardstick uses to replace one role of a real store, or to run
// the service over a store that keeps nothing.
#pragma once

#include "store/store.h"

namespace collector {

// The objects that serve each role; a role left null is served by the
// joined store's `rest`.
struct StoreRoles {
  PlayerStore* players = nullptr;
  IntakeStore* intake = nullptr;
  BoardStore* boards = nullptr;
  ReviewStore* reviews = nullptr;
  EventStore* events = nullptr;
  OutboxStore* outbox = nullptr;
  StaffStore* staff = nullptr;
  StoreHealth* health = nullptr;
};

// Each role served by its object in `roles`, else by `rest`; without a rest,
// as a store that holds nothing: every read finds nothing (a player's page:
// no such player), every write is refused, and the store is healthy.
class JoinedStore final : public Store {
 public:
  explicit JoinedStore(StoreRoles roles, Store* rest = nullptr);

  bool addPlayer(const std::string& name, const std::string& keyHash, std::int64_t nowMs,
                 std::string& error) override;
  bool listPlayers(std::vector<PlayerInfo>& players, std::string& error) override;
  bool revokePlayer(const std::string& name, const std::function<std::int64_t()>& nowMs,
                    std::string& error) override;
  bool replaceKey(const std::string& name, const std::string& keyHash, std::string& error) override;
  bool addLeave(const std::string& name, std::int64_t fromDay, std::int64_t toDay,
                std::int64_t nowMs, std::string& error) override;
  bool clearLeave(const std::string& name, std::int64_t& removed, std::string& error) override;
  bool listLeave(std::int64_t fromDay, std::int64_t untilDay, std::vector<PlayerLeave>& leave,
                 std::string& error) override;
  bool addReports(const std::vector<IncomingReport>& batch, std::vector<AddOutcome>& outcomes,
                  std::string& error) override;
  bool leaderboard(const Period& period, std::vector<LeaderboardRow>& rows,
                   std::string& error) override;
  bool communityDays(const Period& period, std::vector<DayTotals>& days,
                     std::string& error) override;
  bool playerActivity(const std::string& name, const Period& daysPeriod, PlayerView& view,
                      bool& found, std::string& error) override;
  bool reviewMark(ReviewMark& mark, std::string& error) override;
  bool reviewedSince(std::int64_t sinceMs, std::vector<ReviewedReport>& reports,
                     std::string& error) override;
  bool exportReports(const std::function<void(const StoredReport&)>& each,
                     std::string& error) override;
  bool unreviewedFlags(std::int64_t sinceMs, const std::string& player,
                       std::vector<StoredReport>& reports, std::string& error) override;
  bool reviewFlags(const std::vector<std::int64_t>& ids, bool accept, std::int64_t nowMs,
                   std::string& error) override;
  bool playerLasts(std::vector<PlayerLasts>& lasts, std::string& error) override;
  bool addEvent(Event& event, std::int64_t nowMs, std::string& error) override;
  bool listEvents(std::vector<Event>& events, std::string& error) override;
  bool removeEvent(std::int64_t id, std::string& error) override;
  bool pruneEvents(std::int64_t endedBeforeMs, std::int64_t& removed,
                   std::string& error) override;
  bool changeEvent(const Event& event, std::string& error) override;
  bool eventBoard(const Event& event, std::vector<LeaderboardRow>& rows,
                  std::string& error) override;
  bool addAnnouncement(const std::string& key, const std::string& body, std::int64_t nowMs,
                       bool& added, std::string& error) override;
  bool hasAnnouncement(const std::string& key, bool& found, std::string& error) override;
  bool claimAnnouncement(const std::string& webhook, std::int64_t sinceMs, std::int64_t nowMs,
                         std::int64_t leaseUntilMs, ClaimedAnnouncement& claimed, bool& found,
                         std::string& error) override;
  bool settleAnnouncement(const ClaimedAnnouncement& claimed, Delivery outcome, std::int64_t atMs,
                          std::string& error) override;
  bool announcementsWaiting(const std::string& webhook, std::int64_t sinceMs,
                            std::int64_t& count, std::string& error) override;
  bool announcementsGivenUp(const std::string& webhook, std::int64_t sinceMs, std::int64_t& count,
                            std::string& error) override;
  bool pruneAnnouncements(std::int64_t beforeMs, std::string& error) override;
  bool addStaff(const std::string& name, const std::string& role, std::int64_t nowMs,
                std::string& error) override;
  bool listStaff(std::vector<StaffMember>& staff, std::string& error) override;
  bool changeStaff(const std::string& name, const std::string& role, std::string& error) override;
  bool staffSignIn(const std::string& name, std::string& passwordHash, std::string& role,
                   bool& found, std::string& error) override;
  bool addSession(const std::string& tokenHash, const std::string& name, std::int64_t nowMs,
                  std::string& error) override;
  bool useSession(const std::string& tokenHash, std::int64_t nowMs, std::int64_t idleMs,
                  std::int64_t absoluteMs, StaffSession& session, bool& found,
                  std::string& error) override;
  bool endSession(const std::string& tokenHash, std::string& error) override;
  bool addSignInFailure(const std::string& subject, std::int64_t nowMs, std::int64_t forgetBeforeMs,
                        std::int64_t& failures, std::string& error) override;
  bool signInFailures(const std::string& subject, std::int64_t sinceMs, std::int64_t& failures,
                      std::int64_t& lastMs, std::string& error) override;
  bool clearSignInFailures(const std::string& subject, std::string& error) override;
  bool addLink(const std::string& kind, const std::string& tokenHash, const std::string& subject,
               const std::string& secret, std::int64_t nowMs, std::int64_t expiresMs,
               std::string& error) override;
  bool readLink(const std::string& tokenHash, std::int64_t nowMs, OneTimeLink& link,
                std::string& error) override;
  bool useLink(const std::string& kind, const std::string& tokenHash, std::int64_t nowMs,
               const std::string& passwordHash, OneTimeLink& link, std::string& error) override;
  bool addAudit(const AuditEntry& entry, std::int64_t keepSinceMs, std::int64_t keepCount,
                std::string& error) override;
  bool listAudit(const AuditFilter& filter, std::vector<AuditEntry>& entries,
                 std::string& error) override;

  bool healthy(std::string& why) override;
  std::string cannotStore() override;
  std::vector<Gauge> gauges() override;

 private:
  StoreRoles roles_;
};

}  // namespace collector
