#include "board/bytes.h"

#include <map>
#include <utility>

namespace collector {

namespace {

// A map node of the servers' totals: the node's links and colour besides its pair.
std::size_t serverBytes(const std::map<std::string, ServerTotals>& servers) {
  std::size_t bytes = 0;
  for (const auto& [id, totals] : servers) {
    bytes += 32 + sizeof(std::pair<const std::string, ServerTotals>) + textBytes(id);
  }
  return bytes;
}

}  // namespace

std::size_t textBytes(const std::string& text) {
  return text.capacity() > 15 ? text.capacity() + 1 : 0;
}

std::size_t bytesOf(const std::vector<LeaderboardRow>& rows) {
  std::size_t bytes = sizeof rows + rows.capacity() * sizeof(LeaderboardRow);
  for (const LeaderboardRow& row : rows) {
    bytes += textBytes(row.playerName) + textBytes(row.lastTruck) + textBytes(row.lastTrailer) +
             serverBytes(row.servers);
  }
  return bytes;
}

std::size_t bytesOf(const std::vector<DayTotals>& days) {
  std::size_t bytes = sizeof days + days.capacity() * sizeof(DayTotals);
  for (const DayTotals& day : days) bytes += serverBytes(day.servers);
  return bytes;
}

std::size_t bytesOf(const PlayerView& view) {
  std::size_t bytes = bytesOf(view.days) + view.lastReports.capacity() * sizeof(StoredReport);
  for (const StoredReport& report : view.lastReports) {
    bytes += textBytes(report.playerName) + textBytes(report.serverId) + textBytes(report.truck) +
             textBytes(report.trailer) + textBytes(report.flag);
  }
  return bytes;
}

}  // namespace collector
