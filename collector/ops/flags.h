// `vorn-collector flags`: the operator's review of flagged reports.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "store/store.h"

namespace collector {

struct FlagCommands {
  CLI::App* list = nullptr;
  CLI::App* accept = nullptr;
  CLI::App* reject = nullptr;
  std::string since;  // YYYY-MM-DD, or empty for all
  std::string player;
  std::vector<std::int64_t> ids;
};

// Adds `flags list|accept|reject` to the command line; `db` is the --db value.
void addFlagCommands(CLI::App& app, FlagCommands& flags, std::string& db);

// True when one of the flag commands was given.
bool flagCommandGiven(const FlagCommands& flags);

// Runs the given flag command on `store`; the process exit status.
int runFlagCommand(Store& store, const FlagCommands& flags);

}  // namespace collector
