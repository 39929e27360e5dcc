#include "ops/command.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <limits>

#include "core/text.h"
#include "ops/defaults.h"

namespace collector {

namespace {

// Edits from `a` to `b`: insertions, deletions, changes and swaps of two
// neighbours ("mhp" is one from "mph").
std::size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// Of `known`, the one a few edits from `name`, the nearest; "" for none.
std::string nearestOf(const std::string& name, const std::vector<std::string>& known) {
  std::string nearest;
  std::size_t best = std::max<std::size_t>(2, name.size() / 4) + 1;
  for (const std::string& candidate : known) {
    const std::size_t distance = editDistance(name, candidate);
    if (distance < best) {
      best = distance;
      nearest = candidate;
    }
  }
  return nearest;
}

// The command given: the last subcommand parsed, below `app`.
const CLI::App& commandGiven(const CLI::App& app) {
  const CLI::App* command = &app;
  for (bool deeper = true; deeper;) {
    deeper = false;
    for (const CLI::App* sub : command->get_subcommands()) {
      command = sub;
      deeper = true;
    }
  }
  return *command;
}

}  // namespace

void addDatabaseOption(CLI::App& command, std::string& url) {
  command
      .add_option("--db", url,
                  "database URL: sqlite:PATH or postgresql://... (default: $VORN_COLLECTOR_DB, "
                  "else the one /etc/default/vorn-collector names, else sqlite:vorn-collector.db "
                  "in the working directory; only init and player add make one)")
      ->type_name("URL");
}

int failure(int status, const std::string& message) {
  std::cerr << "vorn-collector: " << message << "\n";
  return status;
}

CLI::Validator numberIn(const NumberRange& range) {
  return CLI::Validator(
      [range](std::string& text) {
        double value = 0.0;
        std::string problem = numberProblem(text, range, value);
        if (problem.empty()) text = plainNumber(value);
        return problem;
      },
      "");
}

CLI::Validator idCheck() {
  return CLI::Validator(
      [](std::string& text) {
        std::int64_t id = 0;
        std::string problem = wholeProblem(text, 1, std::numeric_limits<std::int64_t>::max(), id);
        if (problem.empty()) text = std::to_string(id);
        return problem;
      },
      "");
}

std::string nearestOptionHint(const CLI::App& app, const std::vector<std::string>& words) {
  const CLI::App& command = commandGiven(app);
  // The service's serve takes its options from VORN_COLLECTOR_OPTS.
  for (std::size_t i = 0; command.get_name() == "serve" && i < words.size(); ++i) {
    const std::string quoted = quotedWordProblem(words[i]);
    if (!quoted.empty()) return quoted;
  }
  std::vector<std::string> options, commands;
  for (const CLI::Option* option : command.get_options()) {
    for (const std::string& name : option->get_lnames()) options.push_back("--" + name);
  }
  for (const CLI::App* sub : command.get_subcommands([](const CLI::App*) { return true; })) {
    commands.push_back(sub->get_name());
  }
  for (const std::string& word : words) {
    const bool option = word.compare(0, 2, "--") == 0;
    const std::string name = option ? word.substr(0, word.find('=')) : word;
    if (name.size() < 2 || (!option && name.front() == '-')) continue;
    const std::vector<std::string>& known = option ? options : commands;
    if (std::find(known.begin(), known.end(), name) != known.end()) continue;  // one it takes
    const std::string nearest = nearestOf(name, known);
    if (!nearest.empty()) return terminalSafe(name) + ": did you mean " + nearest + "?";
  }
  return "";
}

}  // namespace collector
