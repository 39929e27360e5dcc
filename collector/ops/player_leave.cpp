// `vorn-collector player leave NAME --from DATE --to DATE | --clear`: the
// leave a community grants, which the month's activity does not count
// against its minimum.
#include <iostream>
#include <vector>

#include "core/text.h"
#include "ops/command.h"
#include "ops/player_commands.h"
#include "ops/staff_commands.h"

namespace collector {

namespace {

// 0 when the player is there, else the exit status, the reason said.
int checkPlayer(Store& store, const std::string& name) {
  std::vector<PlayerInfo> all;
  std::string error;
  if (!store.listPlayers(all, error)) return failure(1, error);
  for (const PlayerInfo& player : all) {
    if (player.name == name) return 0;
  }
  return failure(2, "no player named '" + terminalSafe(name) + "'");
}

}  // namespace

void addLeaveCommand(CLI::App& player, PlayerCommands& players, std::string& db) {
  players.leave = player.add_subcommand(
      "leave",
      "record a player's leave, UTC days FROM to TO both included (each period is kept beside "
      "those recorded before; a day several cover counts once), or --clear all of it; the "
      "month's activity owes no minimum for days on leave");
  players.leave->add_option("NAME", players.name, "the player's name")->required();
  auto* from = players.leave->add_option("--from", players.leaveFrom, "the first day of leave")
                   ->type_name("YYYY-MM-DD");
  auto* to = players.leave->add_option("--to", players.leaveTo, "the last day of leave")
                 ->type_name("YYYY-MM-DD");
  players.leave->add_flag("--clear", players.leaveClear, "remove all of the player's leave")
      ->excludes(from)
      ->excludes(to);
  addDatabaseOption(*players.leave, db);
}

int runLeaveCommand(Store& store, const PlayerCommands& players) {
  const std::string& name = players.name;
  std::string error;
  if (players.leaveClear) {
    std::int64_t removed = 0;
    if (const int status = checkPlayer(store, name)) return status;
    if (!store.clearLeave(name, removed, error)) return failure(1, error);
    auditShell(store, "player_leave", "cleared the leave of " + name);
    std::cout << "removed " << counted(removed, "leave period") << " of " << terminalSafe(name)
              << "\n";
    return 0;
  }
  if (players.leaveFrom.empty() || players.leaveTo.empty()) {
    return failure(2, "player leave wants --from DATE and --to DATE, or --clear");
  }
  std::int64_t fromDay = 0, toDay = 0;
  if (!parseDay(players.leaveFrom, fromDay)) {
    return failure(2,
                   "--from wants a date YYYY-MM-DD, got '" + terminalSafe(players.leaveFrom) + "'");
  }
  if (!parseDay(players.leaveTo, toDay)) {
    return failure(2, "--to wants a date YYYY-MM-DD, got '" + terminalSafe(players.leaveTo) + "'");
  }
  if (toDay < fromDay) {
    return failure(2, "--to " + players.leaveTo + " is before --from " + players.leaveFrom);
  }
  if (const int status = checkPlayer(store, name)) return status;
  if (!store.addLeave(name, fromDay, toDay, wallClockMs(), error)) return failure(1, error);
  const std::string what = name + " on leave from " + dayText(fromDay) + " to " + dayText(toDay);
  auditShell(store, "player_leave", what);
  std::cout << terminalSafe(what) << "\n";
  return 0;
}

}  // namespace collector
