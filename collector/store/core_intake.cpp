// The intake of a batch of reports, and the totals and milestones that a
// batch or a review adds, written once over the seam.
#include <algorithm>
#include <set>

#include "store/core.h"

namespace collector {

using namespace seam;

namespace {

using sql::Query;

// What a batch's stored reports add to the totals, and the time of the
// latest of them (when their milestones were reached).
struct Stored {
  TotalsDelta totals;
  std::int64_t latestMs = 0;
};

// Decides each report against its key's holder and adds the stored ones, in
// the batch's order: a report refused alone (a value the database refuses)
// is answered `failed` and counts for none of the later ones.
bool insertBatch(IntakeSession& session, const std::vector<IncomingReport>& batch,
                 std::map<std::string, KeyHolder>& holders, std::vector<AddOutcome>& outcomes,
                 Stored& stored, std::string& error) {
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const IncomingReport& report = batch[i];
    KeyHolder& holder = holders[report.keyHash];
    const ReportDecision decision = decideReport(report, holder);
    outcomes[i] = decision.outcome;
    if (decision.outcome != AddOutcome::stored && decision.outcome != AddOutcome::storedFlagged) {
      continue;
    }
    const Added added =
        session.add(Query::insertReport,
                    {holder.id, report.receivedMs, report.serverId, report.miles, report.seconds,
                     report.truck, report.trailer, decision.flag, decision.flagLimit},
                    {}, error);
    if (added == Added::failed) return false;
    if (added == Added::refused) {
      outcomes[i] = AddOutcome::failed;
      continue;
    }
    noteStored(holder, report.receivedMs);
    addToTotals(stored.totals, holder.id, report.receivedMs, report, decision.flag.empty());
    stored.latestMs = std::max(stored.latestMs, report.receivedMs);
  }
  return session.flush(Query::insertReport, {}, error);
}

// The players whose counted miles `totals` raised, with their miles now.
bool readMiles(Session& session, const TotalsDelta& totals,
               std::map<std::int64_t, PlayerMiles>& after, std::string& error) {
  const EachRow each = [&after](const Row& row) {
    after[row.integer(0)] = {row.text(1), row.real(2)};
  };
  for (const std::int64_t player : playersGainingMiles(totals)) {
    if (session.add(Query::playerMiles, {player}, each, error) != Added::ok) return false;
  }
  return session.flush(Query::playerMiles, each, error);
}

// The same, from their miles before (read with the batch's holders, whose
// rows it locked) and what `totals` adds: the sums in whole millionths that
// the database makes, so the very same number.
std::map<std::int64_t, PlayerMiles> milesAfter(const TotalsDelta& totals,
                                               const std::map<std::string, KeyHolder>& holders,
                                               const std::map<std::int64_t, double>& before) {
  std::map<std::int64_t, double> added;
  for (const auto& [key, row] : totals) {
    if (key.day == allTimeDay) added[key.playerId] = addMiles(added[key.playerId], row.miles);
  }
  std::map<std::int64_t, PlayerMiles> after;
  for (const auto& entry : holders) {
    const KeyHolder& holder = entry.second;
    const auto miles = added.find(holder.id);
    if (!holder.known || miles == added.end()) continue;
    const auto was = before.find(holder.id);
    after[holder.id] = {holder.name, addMiles(was == before.end() ? 0.0 : was->second,
                                              miles->second)};
  }
  return after;
}

// Adds `totals` to player_days and player_totals.
bool writeTotalsRows(Session& session, const TotalsDelta& totals, std::string& error) {
  for (const auto& entry : totals) {
    const TotalsRow& row = entry.second;
    const bool allTime = row.day == allTimeDay;
    if (session.add(
            allTime ? Query::addTotals : Query::addDays,
            {row.playerId, allTime ? std::int64_t{0} : row.day, row.serverId, row.miles,
             row.seconds, row.reports, row.flagged, row.lastMs, row.lastTruck, row.lastTrailer},
            {}, error) != Added::ok) {
      return false;
    }
  }
  return session.flush(Query::addDays, {}, error) && session.flush(Query::addTotals, {}, error);
}

// Records the milestones that `totals` reached, at `atMs`.
bool writeMilestones(Session& session, const TotalsDelta& totals,
                     const std::map<std::int64_t, PlayerMiles>& after, std::int64_t atMs,
                     const std::string& publicUrl, std::string& error) {
  for (const NewAnnouncement& reached : milestonesReached(totals, after, publicUrl)) {
    if (!session.run(Query::insertAnnouncement, {reached.key, reached.body, atMs}, {}, error)) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool writeTotals(Session& session, const TotalsDelta& totals, std::int64_t atMs,
                 const std::string& publicUrl, std::string& error) {
  std::map<std::int64_t, PlayerMiles> after;
  return writeTotalsRows(session, totals, error) && readMiles(session, totals, after, error) &&
         writeMilestones(session, totals, after, atMs, publicUrl, error);
}

bool CoreStore::addReports(const std::vector<IncomingReport>& batch,
                           std::vector<AddOutcome>& outcomes, std::string& error) {
  outcomes.assign(batch.size(), AddOutcome::unknownKey);
  auto session = backend_->intake(error);
  if (!session) {
    outcomes.clear();
    return false;
  }
  std::set<std::string> keys;
  for (const IncomingReport& report : batch) keys.insert(report.keyHash);
  std::map<std::string, KeyHolder> holders;
  std::map<std::int64_t, double> milesBefore;
  Stored stored;
  // Every read first; after them only writes, which nothing of the batch
  // reads back.
  if (!session->holders(std::vector<std::string>(keys.begin(), keys.end()), holders, milesBefore,
                        error) ||
      !insertBatch(*session, batch, holders, outcomes, stored, error) ||
      !writeTotalsRows(*session, stored.totals, error) ||
      !writeMilestones(*session, stored.totals, milesAfter(stored.totals, holders, milesBefore),
                       stored.latestMs, publicUrl_, error)) {
    session->rollBack();
    outcomes.clear();
    return false;
  }
  if (session->commitBatch(holders, batch.size(), error)) return true;
  outcomes.clear();
  return false;
}

}  // namespace collector
