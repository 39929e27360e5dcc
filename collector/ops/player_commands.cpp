#include "ops/player_commands.h"

#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <optional>
#include <vector>

#include "core/keys.h"
#include "core/names.h"
#include "core/text.h"
#include "ops/command.h"
#include "ops/database.h"
#include "ops/defaults.h"
#include "ops/player_ini.h"
#include "page/html.h"

namespace collector {

namespace {

// Why `name` cannot be added beside the players there are: the name rules,
// then a player's name that a reader could take it for. "" when it can.
std::string nameProblem(Store& store, const std::string& name, int& status) {
  status = 2;
  std::string problem = playerNameProblem(name);
  if (!problem.empty()) return problem;
  std::vector<PlayerInfo> all;
  if (!store.listPlayers(all, problem)) {
    status = 1;
    return problem;
  }
  std::vector<std::string> names;
  for (const PlayerInfo& player : all) names.push_back(player.name);
  names.erase(std::remove(names.begin(), names.end(), name), names.end());  // the store's to refuse
  const std::string existing = confusableName(name, names);
  if (existing.empty()) return "";
  return "the name looks the same as that of the player '" + terminalSafe(existing) +
         "' (Unicode's confusable characters): choose another";
}

// Prints the new key alone on the last line; with --ini, also writes the
// player's settings file, which is checked before the player is added.
int addPlayer(Store& store, const PlayerCommands& players) {
  const std::string& name = players.name;
  int status = 2;
  const std::string refused = nameProblem(store, name, status);
  if (!refused.empty()) return failure(status, "no player added: " + refused);
  // A player's folder made here goes again, after its file, unless all went well.
  struct Folder {
    std::string made;
    bool keep = false;
    ~Folder() {
      if (!made.empty() && !keep) ::rmdir(made.c_str());
    }
  } folder;
  std::optional<NewFile> ini;
  std::string iniPath;
  if (!players.iniPath.empty()) {
    std::string problem = playerIniProblem(name, players.iniUrl);
    if (problem.empty()) iniPath = playerIniPath(players.iniPath, name, folder.made, problem);
    if (problem.empty()) problem = ini.emplace(iniPath).error();
    if (!problem.empty()) return failure(2, "no player added: " + problem);
  }
  const std::string apiKey = generateKey();
  if (apiKey.empty()) return failure(1, "the random source failed");
  std::string error;
  if (!store.addPlayer(name, hashKey(apiKey), wallClockMs(), error)) return failure(1, error);
  // The key stays the last line, also when the ini fails.
  const bool written = !ini || ini->write(playerIni(name, apiKey, players.iniUrl));
  if (ini && written) {
    folder.keep = true;
    std::cout << "wrote " << iniPath
              << " (UTF-8 without a byte-order mark, CR LF line ends; it holds the key): hand it "
                 "to the player, to go beside the plug-in as "
              << playerIniName << std::endl;
  }
  const std::string publicUrl = servicePublicUrl(serviceDefaultsFile);
  if (!publicUrl.empty()) {
    std::cout << "the player's page: " << publicUrl << "/players/" << percentEncode(name)
              << std::endl;
  }
  std::cout << "added player " << name << "; its API key (shown only now):\n"
            << apiKey << std::endl;
  if (!written)
    return failure(1, "the player is added, but its ini is not written: " + ini->error());
  return 0;
}

int listPlayers(Store& store) {
  std::vector<PlayerInfo> all;
  std::string error;
  if (!store.listPlayers(all, error)) return failure(1, error);
  for (const auto& player : all) {
    std::cout << terminalSafe(player.name) << "\tadded " << isoTime(player.createdMs)
              << (player.revokedMs ? "\trevoked " + isoTime(player.revokedMs) : "") << "\n";
  }
  return 0;
}

int revokePlayer(Store& store, const std::string& name) {
  std::string error;
  if (!store.revokePlayer(name, wallClockMs, error)) return failure(1, error);
  std::cout << "revoked player " << name << "\n";
  return 0;
}

}  // namespace

void addPlayerCommands(CLI::App& app, PlayerCommands& players, std::string& db) {
  auto* command = app.add_subcommand("player", "add, list and revoke players");
  command->require_subcommand(1);
  players.add = command->add_subcommand(
      "add", "create a player and print its new API key alone on the last line");
  players.add->add_option("NAME", players.name, "the player's name, exactly as in its ini")
      ->required();
  addDatabaseOption(*players.add, db);
  players.add
      ->add_option("--ini", players.iniPath,
                   "also write the player's complete VORN_Davida_Client.ini to this new file, or "
                   "into an existing folder as FOLDER/NAME/VORN_Davida_Client.ini (NAME with _ "
                   "for spaces and characters unfit for a file name), ready to go beside the "
                   "plug-in")
      ->type_name("FILE|DIR");
  players.add
      ->add_option("--collector-url", players.iniUrl,
                   "the CollectorURL of that ini (default: the plug-in's built-in URL)")
      ->type_name("URL")
      ->needs(players.add->get_option("--ini"));
  players.list = command->add_subcommand("list", "list the players");
  addDatabaseOption(*players.list, db);
  players.revoke = command->add_subcommand("revoke", "revoke a player's key; its reports stay");
  players.revoke->add_option("NAME", players.name, "the player's name")->required();
  addDatabaseOption(*players.revoke, db);
}

bool playerCommandGiven(const PlayerCommands& players) {
  return players.add &&
         (players.add->parsed() || players.list->parsed() || players.revoke->parsed());
}

int runPlayerCommand(Store& store, const PlayerCommands& players) {
  if (players.add->parsed()) return addPlayer(store, players);
  if (players.list->parsed()) return listPlayers(store);
  return revokePlayer(store, players.name);
}

}  // namespace collector
