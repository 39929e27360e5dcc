#include <algorithm>

#include "store/store.h"

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

}  // namespace collector
