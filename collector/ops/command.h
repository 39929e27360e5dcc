// ops/, the operator's commands, one file each, and what they share (here).
//
// What the operator's commands share: the --db option, their number options,
// the clock and the way they say they failed. Commands run on the main
// thread, once each; they say what went wrong on standard error and return
// the process exit status: 0 done, 1 the store or a file failed, 2 the
// command line was wrong.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>

#include "core/clock.h"
#include "core/numbers.h"

namespace collector {

// The --db option of a command, shared by every command through `url`.
void addDatabaseOption(CLI::App& command, std::string& url);

// Writes "vorn-collector: MESSAGE" on standard error; returns `status`.
int failure(int status, const std::string& message);

// The check of a number option: a plain decimal within `range` (see
// numberProblem), handed on to CLI11 in the form it reads as that number.
CLI::Validator numberIn(const NumberRange& range);

// The check of an id (a report's, an event's): a whole number from 1 up, in
// decimal digits only.
CLI::Validator idCheck();

// A number option whose help ends with its range: "; 0 to 65535".
template <typename T>
CLI::Option* addNumberOption(CLI::App& command, const std::string& name, T& value,
                             const std::string& help, const NumberRange& range) {
  return command
      .add_option(name, value,
                  help + "; " + plainNumber(range.min) + " to " + plainNumber(range.max))
      ->type_name("N")
      ->capture_default_str()
      ->transform(numberIn(range));
}

// After CLI11 found words that the command given does not take, or no
// subcommand where it needs one: where a word of serve holds a quotation
// mark, that the service's options are split at every space (a quoted title
// in VORN_COLLECTOR_OPTS); else "--max-mhp: did you mean --max-mph?" for the
// first word a few edits from one of the command's options (or "serv: did you
// mean serve?", of its subcommands); else "".
std::string nearestOptionHint(const CLI::App& app, const std::vector<std::string>& words);

}  // namespace collector
