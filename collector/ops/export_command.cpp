#include "ops/export_command.h"

#include <iostream>

#include "core/text.h"
#include "ops/command.h"

namespace collector {

CLI::App* addExportCommand(CLI::App& app, std::string& db) {
  auto* command = app.add_subcommand("export", "every stored report as CSV");
  addDatabaseOption(*command, db);
  return command;
}

int runExportCommand(Store& store) {
  std::cout << "id,received,received_ms,player_name,server_id,miles_delta,seconds_delta,truck,"
               "trailer,flag,review,reviewed\n";
  std::string error;
  const bool exported = store.exportReports(
      [](const StoredReport& r) {
        std::cout << r.id << ',' << isoTime(r.receivedMs) << ',' << r.receivedMs << ','
                  << csvField(r.playerName) << ',' << csvField(r.serverId) << ','
                  << shortestNumber(r.miles) << ',' << r.seconds << ',' << csvField(r.truck) << ','
                  << csvField(r.trailer) << ',' << r.flag << ',' << r.review << ','
                  << (r.reviewedMs ? isoTime(r.reviewedMs) : "") << '\n';
      },
      error);
  return exported ? 0 : failure(1, error);
}

}  // namespace collector
