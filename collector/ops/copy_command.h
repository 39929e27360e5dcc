// `vorn-collector copy`: the move of a database into another store (SQLite
// into PostgreSQL and back), every table carried and checked (store/copy.h).
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

namespace collector {

struct CopyCommand {
  CLI::App* command = nullptr;
  std::string from;    // --from URL
  std::string to;      // --to URL
  bool check = false;  // --check: the comparison alone
};

// Adds `copy` to the command line.
void addCopyCommand(CLI::App& app, CopyCommand& copy);

// Brings both databases to this build's schema (making a SQLite target that
// is not there yet), copies and checks; the exit status: 0 the same on both
// ends, 1 a difference (the copy rolled back) or a failure, 2 the command
// line. `words` are the command line's, for the hint to run it as the
// service's user.
int runCopyCommand(const CopyCommand& copy, const std::vector<std::string>& words);

}  // namespace collector
