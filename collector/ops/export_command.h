// `vorn-collector export`: every stored report as CSV on standard output.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "store/store.h"

namespace collector {

// Adds `export` to the command line; `db` is the --db value.
CLI::App* addExportCommand(CLI::App& app, std::string& db);

// Writes the CSV; the process exit status.
int runExportCommand(Store& store);

}  // namespace collector
