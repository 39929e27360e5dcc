// `vorn-collector activity`: each player's month, for a community's monthly
// minimum and its leave.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "board/activity.h"
#include "store/store.h"

namespace collector {

struct ActivityCommand {
  CLI::App* command = nullptr;
  std::string month;  // YYYY-MM; empty: the current UTC month
  double minMiles = 0.0;
  bool csv = false;
};

// Adds `activity` to the command line; `db` is the --db value.
void addActivityCommand(CLI::App& app, ActivityCommand& activity, std::string& db);

// Runs it on `store`; the process exit status.
int runActivityCommand(Store& store, const ActivityCommand& activity);

}  // namespace collector
