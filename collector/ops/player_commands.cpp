#include "ops/player_commands.h"

#include <unistd.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <optional>
#include <vector>

#include "core/keys.h"
#include "core/names.h"
#include "core/staff.h"
#include "core/text.h"
#include "ops/command.h"
#include "ops/database.h"
#include "ops/defaults.h"
#include "ops/player_ini.h"
#include "ops/staff_commands.h"
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

// A new key's way to the player: printed alone on the last line; with
// --ini, also written into the player's settings file, which is checked
// before anything changes; with --link, known only to a one-time link.
// `change` adds the player or gives it the key's hash.
int handOverKey(Store& store, const PlayerCommands& players, const char* done,
                const std::function<bool(const std::string& keyHash, std::string& error)>& change) {
  const std::string& name = players.name;
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
    if (!problem.empty()) return failure(2, std::string("nothing changed: ") + problem);
  }
  const std::string apiKey = generateKey();
  if (apiKey.empty()) return failure(1, "the random source failed");
  std::string error, token;
  if (!change(hashKey(apiKey), error)) return failure(1, error);
  auditShell(store, players.add->parsed() ? "player_add" : "player_key", name);
  if (players.link) {
    if (!makeLink(store, "join", name, apiKey, wallClockMs(), joinLinkMs, token, error)) {
      return failure(1, std::string(done) + ", but its join link is not made: " + error);
    }
    std::cout << done << " " << name << "; the link where the player downloads their ini "
              << "(valid 7 days, once; it is shown only now):\n"
              << linkText("/join/" + token) << std::endl;
    return 0;
  }
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
  std::cout << done << " " << name << "; its API key (shown only now):\n" << apiKey << std::endl;
  if (!written)
    return failure(1, std::string(done) + ", but its ini is not written: " + ini->error());
  return 0;
}

int addPlayer(Store& store, const PlayerCommands& players) {
  int status = 2;
  const std::string refused = nameProblem(store, players.name, status);
  if (!refused.empty()) return failure(status, "no player added: " + refused);
  return handOverKey(store, players, "added player",
                     [&](const std::string& keyHash, std::string& error) {
                       return store.addPlayer(players.name, keyHash, wallClockMs(), error);
                     });
}

int newKey(Store& store, const PlayerCommands& players) {
  return handOverKey(store, players, "a new key for",
                     [&](const std::string& keyHash, std::string& error) {
                       return store.replaceKey(players.name, keyHash, error);
                     });
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
  auditShell(store, "player_revoke", name);
  std::cout << "revoked player " << name << "\n";
  return 0;
}

}  // namespace

void addPlayerCommands(CLI::App& app, PlayerCommands& players, std::string& db) {
  auto* command =
      app.add_subcommand("player", "add, list and revoke players, give new keys, record leave");
  command->require_subcommand(1);
  players.add = command->add_subcommand(
      "add", "create a player and print its new API key alone on the last line");
  players.add->add_option("NAME", players.name, "the player's name, exactly as in its ini")
      ->required();
  addDatabaseOption(*players.add, db);
  players.key = command->add_subcommand(
      "key", "give a player a new key: the name, reports and place stay, the old key stops now");
  players.key->add_option("NAME", players.name, "the player's name")->required();
  addDatabaseOption(*players.key, db);
  for (CLI::App* sub : {players.add, players.key}) {
    auto* ini = sub->add_option("--ini", players.iniPath,
                                "also write the player's complete VORN_Davida_Client.ini to this "
                                "new file, or into an existing folder as "
                                "FOLDER/NAME/VORN_Davida_Client.ini (NAME with _ for spaces and "
                                "characters unfit for a file name), ready to go beside the plug-in")
                    ->type_name("FILE|DIR");
    sub->add_option("--collector-url", players.iniUrl,
                    "the CollectorURL of that ini (default: the plug-in's built-in URL)")
        ->type_name("URL")
        ->needs(ini);
    sub->add_flag("--link", players.link,
                  "print a one-time link, valid 7 days, where the player downloads their ini, "
                  "rather than the key")
        ->excludes(ini);
  }
  players.list = command->add_subcommand("list", "list the players");
  addDatabaseOption(*players.list, db);
  players.revoke = command->add_subcommand("revoke", "revoke a player's key; its reports stay");
  players.revoke->add_option("NAME", players.name, "the player's name")->required();
  addDatabaseOption(*players.revoke, db);
  addLeaveCommand(*command, players, db);
}

bool playerCommandGiven(const PlayerCommands& players) {
  return players.add &&
         (players.add->parsed() || players.list->parsed() || players.revoke->parsed() ||
          players.key->parsed() || players.leave->parsed());
}

int runPlayerCommand(Store& store, const PlayerCommands& players) {
  if (players.add->parsed()) return addPlayer(store, players);
  if (players.list->parsed()) return listPlayers(store);
  if (players.key->parsed()) return newKey(store, players);
  if (players.leave->parsed()) return runLeaveCommand(store, players);
  return revokePlayer(store, players.name);
}

}  // namespace collector
