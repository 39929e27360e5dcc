// `vorn-collector player add|list|revoke|key|leave`: the players, their keys
// and their leave.
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
  CLI::App* leave = nullptr;
  std::string name;                // add, revoke, key, leave
  std::string iniPath;             // add, key --ini
  std::string iniUrl;              // add, key --collector-url
  bool link = false;               // add, key --link
  std::string leaveFrom, leaveTo;  // leave --from, --to: YYYY-MM-DD
  bool leaveClear = false;         // leave --clear
};

// Adds `player add|list|revoke|key|leave` to the command line; `db` is the
// --db value.
void addPlayerCommands(CLI::App& app, PlayerCommands& players, std::string& db);
// Adds `leave` to the `player` command (player_leave.cpp).
void addLeaveCommand(CLI::App& player, PlayerCommands& players, std::string& db);
int runLeaveCommand(Store& store, const PlayerCommands& players);

bool playerCommandGiven(const PlayerCommands& players);

// Runs the given player command on `store`; the process exit status.
int runPlayerCommand(Store& store, const PlayerCommands& players);

}  // namespace collector
