#include <algorithm>

#include "store/shared.h"

namespace collector {

std::vector<LeaderboardRow> eventRows(const Event& event, const std::vector<TotalsRow>& rows) {
  BoardBuilder builder;
  for (const TotalsRow& row : rows) {
    if (event.servers.empty() || std::find(event.servers.begin(), event.servers.end(),
                                           row.serverId) != event.servers.end()) {
      builder.add(row);
    }
  }
  return builder.finish();
}

std::string noSuchEventError(std::int64_t id) { return "no event with id " + std::to_string(id); }

}  // namespace collector
