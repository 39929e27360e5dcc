// `vorn-collector event`: the operator's community events.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "store/store.h"

namespace collector {

struct EventCommands {
  CLI::App* add = nullptr;
  CLI::App* list = nullptr;
  CLI::App* remove = nullptr;
  std::string name;
  std::string start;  // ISO 8601 UTC
  std::string end;
  std::vector<std::string> servers;
  std::string description;
  std::int64_t id = 0;
  std::string limit = "100";  // of `list`: how many at most, and from when
  std::string since;
  std::int64_t listLimit = 0;  // once prepared
  std::int64_t sinceMs = 0;
  Event event;  // of `add`, once prepared
};

// Adds `event add|list|remove` to the command line; `db` is the --db value.
void addEventCommands(CLI::App& app, EventCommands& events, std::string& db);

// True when one of the event commands was given.
bool eventCommandGiven(const EventCommands& events);

// Checks what the command line alone can get wrong (times, name, servers),
// before the store opens; 0, or the exit status after saying what is wrong.
int prepareEventCommand(EventCommands& events);

// Runs the given event command on `store` (prepared); the process exit status.
int runEventCommand(Store& store, const EventCommands& events);

}  // namespace collector
