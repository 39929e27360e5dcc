// The store written once: every call of every role, over a Backend (seam.h)
// that each database fills.
#pragma once

#include <memory>

#include "store/seam.h"

namespace collector {

class CoreStore final : public Store {
 public:
  explicit CoreStore(std::unique_ptr<seam::Backend> backend) : backend_(std::move(backend)) {}

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
  bool pruneEvents(std::int64_t endedBeforeMs, std::int64_t& removed, std::string& error) override;
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
  bool announcementsWaiting(const std::string& webhook, std::int64_t sinceMs, std::int64_t& count,
                            std::string& error) override;
  bool announcementsGivenUp(const std::string& webhook, std::int64_t sinceMs, std::int64_t& count,
                            std::string& error) override;
  bool pruneAnnouncements(std::int64_t beforeMs, std::string& error) override;
  void linkPostsTo(const std::string& publicUrl) override { publicUrl_ = publicUrl; }

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

  bool healthy(std::string& why) override { return backend_->healthy(why); }
  std::string cannotStore() override { return backend_->cannotStore(); }
  std::vector<Gauge> gauges() override { return backend_->gauges(); }

 private:
  std::unique_ptr<seam::Backend> backend_;
  std::string publicUrl_;  // what milestones link to; "": nothing
};

// Within a write transaction: adds `totals` to player_days and
// player_totals, then records the milestones they reached, at `atMs`, each
// linking to the player's page on `publicUrl` (none when "").
bool writeTotals(seam::Session& session, const TotalsDelta& totals, std::int64_t atMs,
                 const std::string& publicUrl, std::string& error);

// Runs a statement whose rows are all read by `read` into `rows`.
template <class Record, class Read>
bool readAll(seam::Session& session, sql::Query query, const std::vector<seam::Value>& values,
             std::vector<Record>& rows, Read read, std::string& error) {
  rows.clear();
  return session.run(
      query, values, [&](const seam::Row& row) { rows.push_back(read(row)); }, error);
}

// Runs a statement that answers one number, a count, into `count`.
inline bool readCount(seam::Session& session, sql::Query query,
                      const std::vector<seam::Value>& values, std::int64_t& count,
                      std::string& error) {
  count = 0;
  return session.run(
      query, values, [&count](const seam::Row& row) { count = row.integer(0); }, error);
}

}  // namespace collector
