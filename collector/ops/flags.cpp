#include "ops/flags.h"

#include <algorithm>
#include <iostream>
#include <limits>

#include "core/calendar.h"
#include "core/fairplay.h"
#include "core/report.h"
#include "core/text.h"
#include "ops/command.h"
#include "ops/database.h"
#include "ops/defaults.h"
#include "ops/staff_commands.h"
#include "page/parts.h"

namespace collector {

void addFlagCommands(CLI::App& app, FlagCommands& flags, std::string& db) {
  auto* command = app.add_subcommand(
      "flags", "review the flagged reports: list them, let them count or keep them out");
  command->require_subcommand(1);
  flags.list = command->add_subcommand("list", "the flagged reports awaiting review");
  flags.list->add_option("--since", flags.since, "only those received on or after this UTC day")
      ->type_name("YYYY-MM-DD");
  flags.list->add_option("--player", flags.player, "only this player's")->type_name("NAME");
  flags.accept = command->add_subcommand("accept", "let flagged reports count after all");
  flags.reject = command->add_subcommand("reject", "keep flagged reports out for good");
  for (CLI::App* sub : {flags.list, flags.accept, flags.reject}) {
    addDatabaseOption(*sub, db);
  }
  for (CLI::App* sub : {flags.accept, flags.reject}) {
    sub->add_option("ID", flags.ids, "report ids, as `flags list` shows them")
        ->required()
        ->transform(idCheck());
  }
}

bool flagCommandGiven(const FlagCommands& flags) {
  return flags.list && (flags.list->parsed() || flags.accept->parsed() || flags.reject->parsed());
}

namespace {

// The flagged reports awaiting review, each server by the name the pages use.
int listFlags(Store& store, const FlagCommands& flags) {
  std::string error;
  std::int64_t sinceDay = 0;
  if (!flags.since.empty() && !parseDay(flags.since, sinceDay)) {
    return failure(2, "--since wants YYYY-MM-DD, got '" + flags.since + "'");
  }
  std::vector<StoredReport> reports;
  if (!store.unreviewedFlags(
          flags.since.empty() ? std::numeric_limits<std::int64_t>::min() : sinceDay * msPerDay,
          flags.player, reports, error)) {
    return failure(1, error);
  }
  PageSettings page;
  page.serverNames = serviceServerNames(serviceDefaultsFile);
  const std::vector<ServerColumn> servers = serverColumns(page);
  std::cout << "id\treceived\tplayer\tserver\tmiles\tseconds\ttruck\ttrailer\trule\twhy\n";
  for (const StoredReport& r : reports) {
    std::cout << r.id << '\t' << isoTime(r.receivedMs) << '\t' << terminalSafe(r.playerName) << '\t'
              << terminalSafe(serverName(servers, r.serverId)) << '\t' << fixedDecimals(r.miles, 3)
              << '\t' << r.seconds << '\t' << terminalSafe(r.truck) << '\t'
              << terminalSafe(r.trailer) << '\t' << r.flag << '\t'
              << flagExplanation({r.flag, r.miles, r.seconds, r.flagLimit, r.sincePlayerAdded}) << '\n';
  }
  return 0;
}

}  // namespace

int runFlagCommand(Store& store, const FlagCommands& flags) {
  if (flags.list->parsed()) return listFlags(store, flags);
  std::string error;
  const bool accept = flags.accept->parsed();
  // A report above the bound of today's reports (one stored before it) would
  // take its player's totals out of the finite numbers: it can only be rejected.
  if (accept) {
    std::vector<StoredReport> awaiting;
    if (!store.unreviewedFlags(std::numeric_limits<std::int64_t>::min(), "", awaiting, error)) {
      return failure(1, error + "; nothing was reviewed");
    }
    for (const StoredReport& r : awaiting) {
      if (r.miles > maxMilesDelta &&
          std::find(flags.ids.begin(), flags.ids.end(), r.id) != flags.ids.end()) {
        return failure(1, "report " + std::to_string(r.id) + " claims " + shortestNumber(r.miles) +
                              " miles, above the " + shortestNumber(maxMilesDelta) +
                              " a report may carry: it can only be rejected; nothing was reviewed");
      }
    }
  }
  if (!store.reviewFlags(flags.ids, accept, wallClockMs(), error)) {
    const bool unknown = error.find(mayBeStored) != std::string::npos;
    return failure(1, error + (unknown ? "; run flags list to see" : "; nothing was reviewed"));
  }
  std::string ids;
  for (std::int64_t id : flags.ids) ids += (ids.empty() ? "report " : ", ") + std::to_string(id);
  auditShell(store, accept ? "flag_accept" : "flag_reject", ids);
  std::cout << (accept ? "accepted " : "rejected ") << flags.ids.size() << " flagged report"
            << (flags.ids.size() == 1 ? "" : "s") << "\n";
  return 0;
}

}  // namespace collector
