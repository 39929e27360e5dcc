// ops/, the operator's commands, one file each, and what they share (here).
//
// What the operator's commands share: the --db option, the clock and the way
// they say they failed. Commands run on the main thread, once each; they say
// what went wrong on standard error and return the process exit status:
// 0 done, 1 the store or a file failed, 2 the command line was wrong.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>

#include "core/clock.h"

namespace collector {

// The --db option of a command, shared by every command through `url`.
void addDatabaseOption(CLI::App& command, std::string& url);

// Writes "vorn-collector: MESSAGE" on standard error; returns `status`.
int failure(int status, const std::string& message);

}  // namespace collector
