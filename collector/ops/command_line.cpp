#include "ops/command_line.h"

#include <iostream>

#include "ops/command.h"
#include "ops/database.h"
#include "ops/defaults.h"
#include "ops/export_command.h"
#include "store/store.h"
#include "vorn_deployment.h"

namespace collector {

CommandLine::CommandLine() {
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("vorn-collector ") + deployment::version);
  addServeCommand(app, serve, db);
  addPlayerCommands(app, players, db);
  exportCommand = addExportCommand(app, db);
  initCommand = app.add_subcommand(
      "init", "make the database (--db, else the service's) where none is; serve never does");
  addDatabaseOption(*initCommand, db);
  addFlagCommands(app, flags, db);
  addEventCommands(app, events, db);
  addActivityCommand(app, activity, db);
  addStaffCommands(app, staff, db);
  addCopyCommand(app, copy);
}

int readCommandLine(CommandLine& line, int argc, const char* const* argv) {
  line.words.assign(argv + 1, argv + argc);
  try {
    line.app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const bool unknown = dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr ||
                         dynamic_cast<const CLI::RequiredError*>(&e) != nullptr;
    const std::string hint = unknown ? nearestOptionHint(line.app, line.words) : "";
    if (!hint.empty()) return failure(e.get_exit_code(), hint);
    return line.app.exit(e);
  }
  // What the command line alone can get wrong is said before the store opens.
  if (serveCommandGiven(line.serve)) {
    if (const int status = prepareServeCommand(line.serve)) return status;
  }
  if (eventCommandGiven(line.events)) {
    if (const int status = prepareEventCommand(line.events)) return status;
  }
  return -1;
}

int runCommandLine(CommandLine& line) {
  if (line.copy.command->parsed()) return runCopyCommand(line.copy, line.words);
  // Only init and player add make a database where none is: a mistyped path
  // never gives a service an empty one.
  const bool mayCreate = line.initCommand->parsed() || line.players.add->parsed();
  std::string url;
  std::string created;
  std::string error;
  if (!chooseDatabase(line.db, mayCreate, serviceDefaultsFile, url, created, error)) {
    return failure(2, error);
  }
  auto store = openStore(url, error);
  if (!store) return failure(1, error + serviceUserHint(error, line.words));
  if (!created.empty()) std::cerr << "created a new database at " << created << std::endl;
  // A milestone that a command's review reaches links as the service's do.
  store->linkPostsTo(servicePublicUrl(serviceDefaultsFile));
  if (line.initCommand->parsed()) {
    if (created.empty())
      std::cerr << "the database " << shownDatabase(url) << " is there already" << std::endl;
    return 0;
  }
  if (flagCommandGiven(line.flags)) return runFlagCommand(*store, line.flags);
  if (eventCommandGiven(line.events)) return runEventCommand(*store, line.events);
  if (serveCommandGiven(line.serve)) return runServeCommand(*store, line.serve, url);
  if (playerCommandGiven(line.players)) return runPlayerCommand(*store, line.players);
  if (line.exportCommand->parsed()) return runExportCommand(*store);
  if (staffCommandGiven(line.staff)) return runStaffCommand(*store, line.staff);
  if (line.activity.command->parsed()) return runActivityCommand(*store, line.activity);
  return 2;
}

}  // namespace collector
