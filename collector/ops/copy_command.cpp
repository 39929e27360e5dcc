#include "ops/copy_command.h"

#include <sys/stat.h>

#include <iostream>

#include "ops/command.h"
#include "ops/database.h"
#include "store/copy.h"
#include "store/store.h"

namespace collector {

namespace {

bool isSqlite(const std::string& url) { return url.compare(0, 7, "sqlite:") == 0; }

bool exists(const std::string& url) {
  struct stat status {};
  return !isSqlite(url) || ::stat(url.substr(7).c_str(), &status) == 0;
}

// Opens the database as any command does, which brings its schema up to
// this build's (or makes it), and closes it again.
bool bringUp(const std::string& url, const char* which, std::string& error) {
  if (!openStore(url, error)) {
    error = std::string(which) + " " + shownDatabase(url) + ": " + error;
    return false;
  }
  return true;
}

int said(const CopyResult& result, const CopyCommand& copy) {
  const std::string from = shownDatabase(copy.from), to = shownDatabase(copy.to);
  if (result.outcome == CopyResult::Outcome::failed) {
    return failure(1, (copy.check ? "cannot compare " : "cannot copy ") + from + " to " + to +
                          ": " + result.error);
  }
  for (const std::string& difference : result.differences) failure(1, difference);
  if (result.outcome == CopyResult::Outcome::differs) {
    return failure(1, copy.check ? "THE COPY DIFFERS from " + from
                                 : "THE COPY DIFFERS from " + from + ": nothing was kept in " + to +
                                       "; keep the collectors on " + from);
  }
  std::cout << (copy.check ? "compared " : "copied ") << result.tables << " tables, " << result.rows
            << (result.rows == 1 ? " row" : " rows") << " from " << from << " to " << to
            << ": every table checked both ways, the same in each" << std::endl;
  return 0;
}

}  // namespace

void addCopyCommand(CLI::App& app, CopyCommand& copy) {
  copy.command = app.add_subcommand(
      "copy",
      "copy every table of a database into an empty one of another store (SQLite into "
      "PostgreSQL or back), in one transaction, and check the copy");
  copy.command
      ->add_option("--from", copy.from,
                   "the database copied: sqlite:PATH or "
                   "postgresql://...")
      ->type_name("URL")
      ->required();
  copy.command
      ->add_option("--to", copy.to,
                   "the database that takes the copy, holding no rows yet (a SQLite file that "
                   "is not there is made)")
      ->type_name("URL")
      ->required();
  copy.command->add_flag("--check", copy.check,
                         "compare the two databases only, table by table, both ways");
}

int runCopyCommand(const CopyCommand& copy, const std::vector<std::string>& words) {
  if (copy.from == copy.to) return failure(2, "--from and --to name the same database");
  for (const std::string* url : {&copy.from, &copy.to}) {
    const bool mayCreate = url == &copy.to && !copy.check;
    if (!exists(*url) && !mayCreate) {
      return failure(1, "no database at " + shownDatabase(*url) + " to " +
                            (url == &copy.from ? "copy from" : "compare with"));
    }
  }
  const bool created = !exists(copy.to);
  std::string error;
  if (!bringUp(copy.from, "the source", error) || !bringUp(copy.to, "the target", error)) {
    return failure(1, error + serviceUserHint(error, words));
  }
  if (created) std::cerr << "created a new database at " << shownDatabase(copy.to) << std::endl;
  if (copy.check) return said(compareDatabases(copy.from, copy.to), copy);
  return said(copyDatabase(copy.from, copy.to,
                           [](const std::string& line) { std::cerr << line << std::endl; }),
              copy);
}

}  // namespace collector
