// vorn-collector: the command line. It parses the command and hands it to
// its function in ops/; everything the commands do is there and below.
#include <CLI/CLI.hpp>
#include <string>

#include "ops/activity.h"
#include "ops/command.h"
#include "ops/database.h"
#include "ops/events.h"
#include "ops/export_command.h"
#include "ops/flags.h"
#include "ops/player_commands.h"
#include "ops/serve_command.h"
#include "store/store.h"
#include "vorn_deployment.h"

int main(int argc, char** argv) {
  CLI::App app{
      "vorn-collector: receives the VORN Davida plug-in's reports, stores them and "
      "ranks the players"};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("vorn-collector ") + deployment::version);
  std::string db;  // --db; when not given, chooseDatabase finds the service's
  collector::ServeCommand serve;
  collector::addServeCommand(app, serve, db);
  collector::PlayerCommands players;
  collector::addPlayerCommands(app, players, db);
  CLI::App* exportCommand = collector::addExportCommand(app, db);
  collector::FlagCommands flags;
  collector::addFlagCommands(app, flags, db);
  collector::EventCommands events;
  collector::addEventCommands(app, events, db);
  collector::ActivityCommand activity;
  collector::addActivityCommand(app, activity, db);

  CLI11_PARSE(app, argc, argv);

  // What the command line alone can get wrong is said before the store opens.
  if (collector::serveCommandGiven(serve)) {
    if (const int status = collector::prepareServeCommand(serve)) return status;
  }
  if (collector::eventCommandGiven(events)) {
    if (const int status = collector::prepareEventCommand(events)) return status;
  }
  // Only serve and player add make a database where none is.
  const bool mayCreate = collector::serveCommandGiven(serve) || players.add->parsed();
  std::string url;
  std::string error;
  if (!collector::chooseDatabase(db, mayCreate, collector::serviceDefaultsFile, url, error)) {
    return collector::failure(2, error);
  }
  auto store = collector::openStore(url, error);
  if (!store) return collector::failure(1, error);

  if (collector::flagCommandGiven(flags)) return collector::runFlagCommand(*store, flags);
  if (collector::eventCommandGiven(events)) return collector::runEventCommand(*store, events);
  if (collector::serveCommandGiven(serve)) return collector::runServeCommand(*store, serve);
  if (collector::playerCommandGiven(players)) return collector::runPlayerCommand(*store, players);
  if (exportCommand->parsed()) return collector::runExportCommand(*store);
  if (activity.command->parsed()) return collector::runActivityCommand(*store, activity);
  return 2;
}
