// `vorn-collector player add|list|revoke|key`: the players and their keys.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "store/store.h"

namespace collector {

struct PlayerCommands {
  CLI::App* add = nullptr;
  CLI::App* list = nullptr;
  CLI::App* revoke = nullptr;
  CLI::App* key = nullptr;
  std::string name;     // add, revoke, key
  std::string iniPath;  // add, key --ini
  std::string iniUrl;   // add, key --collector-url
  bool link = false;    // add, key --link
};

// Adds `player add|list|revoke` to the command line; `db` is the --db value.
void addPlayerCommands(CLI::App& app, PlayerCommands& players, std::string& db);

bool playerCommandGiven(const PlayerCommands& players);

// Runs the given player command on `store`; the process exit status.
int runPlayerCommand(Store& store, const PlayerCommands& players);

}  // namespace collector
