// The milestones a write of the totals reaches, the same for every store.
#include "core/announce.h"
#include "store/shared.h"

namespace collector {

namespace {

// The counted all-time miles that `delta` adds per player.
std::map<std::int64_t, double> addedMiles(const TotalsDelta& delta) {
  std::map<std::int64_t, double> added;
  for (const auto& [key, row] : delta) {
    if (key.day == allTimeDay && row.reports > 0 && row.miles > 0) {
      double& miles = added[key.playerId];
      miles = addMiles(miles, row.miles);
    }
  }
  return added;
}

}  // namespace

std::vector<std::int64_t> playersGainingMiles(const TotalsDelta& delta) {
  std::vector<std::int64_t> players;
  for (const auto& entry : addedMiles(delta)) players.push_back(entry.first);
  return players;
}

std::vector<NewAnnouncement> milestonesReached(const TotalsDelta& delta,
                                               const std::map<std::int64_t, PlayerMiles>& after,
                                               const std::string& publicUrl) {
  std::vector<NewAnnouncement> reached;
  for (const auto& [playerId, added] : addedMiles(delta)) {
    const auto player = after.find(playerId);
    if (player == after.end()) continue;
    const double now = player->second.miles;
    const double before = (microMiles(now) - microMiles(added)) / 1e6;
    for (const std::int64_t miles : milestonesPassed(before, now)) {
      reached.push_back({"milestone/" + std::to_string(playerId) + "/" + std::to_string(miles),
                         webhookBody(milestoneMessage(player->second.name, miles, publicUrl))});
    }
  }
  return reached;
}

std::string claimTakenError() {
  return "its lease ended and another sender claimed it since: the outcome is that one's to "
         "record";
}

}  // namespace collector
