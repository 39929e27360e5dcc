// The whole command line of vorn-collector: every command's options, read
// and checked as far as the command line alone can be, then the command run.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "ops/activity.h"
#include "ops/copy_command.h"
#include "ops/events.h"
#include "ops/flags.h"
#include "ops/player_commands.h"
#include "ops/serve_command.h"
#include "ops/staff_commands.h"

namespace collector {

struct CommandLine {
  CLI::App app{
      "vorn-collector: receives the VORN Davida plug-in's reports, stores them and ranks the "
      "players"};
  std::vector<std::string> words;  // as given, after the program's name
  std::string db;                  // --db; when not given, chooseDatabase finds the service's
  ServeCommand serve;
  PlayerCommands players;
  CLI::App* exportCommand = nullptr;
  CLI::App* initCommand = nullptr;
  FlagCommands flags;
  EventCommands events;
  ActivityCommand activity;
  StaffCommands staff;
  CopyCommand copy;

  CommandLine();
  CommandLine(const CommandLine&) = delete;
  CommandLine& operator=(const CommandLine&) = delete;
};

// Parses argv[1..] and checks what needs no store. -1 to go on; else the
// exit status, after --help or --version was printed or what is wrong was
// said on standard error.
int readCommandLine(CommandLine& line, int argc, const char* const* argv);

// Opens the command's database and runs the command read; the exit status.
int runCommandLine(CommandLine& line);

}  // namespace collector
