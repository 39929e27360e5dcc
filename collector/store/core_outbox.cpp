// The outbox of announcements, written once over the seam.
#include "store/core.h"

namespace collector {

using namespace seam;

using sql::Query;

bool CoreStore::addAnnouncement(const std::string& key, const std::string& body, std::int64_t nowMs,
                                bool& added, std::string& error) {
  auto session = backend_->session(Use::write, error);
  if (!session || !session->run(Query::insertAnnouncement, {key, body, nowMs}, {}, error)) {
    return false;
  }
  added = session->changed() == 1;
  return true;
}

bool CoreStore::hasAnnouncement(const std::string& key, bool& found, std::string& error) {
  found = false;
  auto session = backend_->session(Use::read, error);
  return session &&
         session->run(
             Query::findAnnouncement, {key}, [&found](const Row&) { found = true; }, error);
}

bool CoreStore::claimAnnouncement(const std::string& webhook, std::int64_t sinceMs,
                                  std::int64_t nowMs, std::int64_t leaseUntilMs,
                                  ClaimedAnnouncement& claimed, bool& found, std::string& error) {
  found = false;
  auto session = backend_->session(Use::write, error);
  if (!session || !session->run(Query::addDeliveries, {webhook, sinceMs, nowMs}, {}, error)) {
    return false;
  }
  bool due = false;
  std::int64_t announcementId = 0;
  const EachRow claim = [&](const Row& row) {
    enum { id, announcement, attempts, createdMs };
    claimed.deliveryId = row.integer(id);
    claimed.attempts = row.integer(attempts);
    claimed.createdMs = row.integer(createdMs);
    announcementId = row.integer(announcement);
    due = true;
  };
  if (!session->run(Query::claimDelivery, {webhook, nowMs, leaseUntilMs - nowMs}, claim, error)) {
    return false;
  }
  return !due || session->run(
                     Query::announcementBody, {announcementId},
                     [&](const Row& row) {
                       claimed.body = row.text(0);
                       found = true;
                     },
                     error);
}

bool CoreStore::settleAnnouncement(const ClaimedAnnouncement& claimed, Delivery outcome,
                                   std::int64_t atMs, std::string& error) {
  auto session = backend_->session(Use::write, error);
  const sql::SettledDelivery settled = sql::settled(outcome, atMs);
  if (!session || !session->run(Query::settleDelivery,
                                {claimed.deliveryId, std::string(settled.state), settled.nextMs,
                                 settled.doneMs, claimed.attempts},
                                {}, error)) {
    return false;
  }
  if (session->changed() == 1) return true;
  error = claimTakenError();
  return false;
}

bool CoreStore::announcementsWaiting(const std::string& webhook, std::int64_t sinceMs,
                                     std::int64_t& count, std::string& error) {
  auto session = backend_->session(Use::read, error);
  return session && readCount(*session, Query::waitingDeliveries, {webhook, sinceMs}, count, error);
}

bool CoreStore::announcementsGivenUp(const std::string& webhook, std::int64_t sinceMs,
                                     std::int64_t& count, std::string& error) {
  auto session = backend_->session(Use::read, error);
  return session && readCount(*session, Query::givenUpDeliveries, {webhook, sinceMs}, count, error);
}

bool CoreStore::pruneAnnouncements(std::int64_t beforeMs, std::string& error) {
  auto session = backend_->session(Use::write, error);
  if (!session || !session->begin(error)) return false;
  if (session->run(Query::pruneDeliveries, {beforeMs}, {}, error) &&
      session->run(Query::pruneAnnouncements, {beforeMs}, {}, error) && session->commit(error)) {
    return true;
  }
  session->rollBack();
  return false;
}

}  // namespace collector
