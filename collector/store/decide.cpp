// The decision on one report and the wording of the errors, the same for
// every store.
#include <algorithm>

#include "store/shared.h"

namespace collector {

ReportDecision decideReport(const IncomingReport& report, const KeyHolder& holder) {
  ReportDecision decision;
  if (!holder.known || holder.revoked) return decision;
  if (holder.name != report.playerName) {
    decision.outcome = AddOutcome::wrongPlayer;
    return decision;
  }
  decision.flag = report.flag;
  if (!decision.flag.empty()) decision.flagLimit = report.flagLimit;
  // Before its first report, a key's wall time runs from its creation.
  const std::int64_t sinceMs = holder.reported ? holder.lastReceivedMs : holder.createdMs;
  // A report received "before" the one it follows means the machine's clock
  // was set back: the time that passed is unknown then, and flags nobody.
  if (decision.flag.empty() && report.checkWallTime && report.receivedMs >= sinceMs &&
      exceedsWallTime(report.seconds, report.receivedMs - sinceMs)) {
    decision.flag = flagWallTime;
    decision.flagLimit = static_cast<double>(report.receivedMs - sinceMs) / 1000.0;
  }
  decision.outcome = decision.flag.empty() ? AddOutcome::stored : AddOutcome::storedFlagged;
  return decision;
}

void noteStored(KeyHolder& holder, std::int64_t receivedMs) {
  holder.lastReceivedMs =
      holder.reported ? std::max(holder.lastReceivedMs, receivedMs) : receivedMs;
  holder.reported = true;
}

std::string duplicatePlayerError(const std::string& name) {
  return "a player named '" + name + "' or with that key exists already";
}

std::string noSuchPlayerError(const std::string& name) { return "no player named '" + name + "'"; }

std::string noValidKeyError(const std::string& name) {
  return "no player named '" + name + "' with a valid key";
}

std::string notAwaitingReviewError(std::int64_t id) {
  return "report " + std::to_string(id) + " is not a flagged report awaiting review";
}

std::string newerSchemaError(const std::string& database, std::int64_t found) {
  return database + " has schema version " + std::to_string(found) +
         ", newer than this collector's " + std::to_string(schemaVersion);
}

std::string noSuchStaffError(const std::string& name) {
  return "no staff member named '" + name + "'";
}

std::string duplicateStaffError(const std::string& name) {
  return "a staff member named '" + name + "' exists already";
}

}  // namespace collector
