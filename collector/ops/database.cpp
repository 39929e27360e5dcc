#include "ops/database.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "core/text.h"
#include "ops/defaults.h"

namespace collector {

std::string databaseInDefaults(const char* path) {
  std::ifstream file(path);
  const auto values = readEnvironmentFile(file);
  const auto found = values.find("VORN_COLLECTOR_DB");
  return found == values.end() ? "" : found->second;
}

std::string serviceUserHint(const std::string& error, const std::vector<std::string>& words) {
  const auto role = error.find("role \"");
  if (role == std::string::npos || error.find("\" does not exist", role) == std::string::npos) {
    return "";
  }
  std::string command = "runuser -u " + std::string(serviceUser) + " -- vorn-collector";
  for (const std::string& word : words) {
    const bool plain = !word.empty() && word.find_first_not_of(
                                            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                            "0123456789-_=:/.,@+%") == std::string::npos;
    std::string quoted = word;
    for (auto at = quoted.find('\''); at != std::string::npos; at = quoted.find('\'', at + 4)) {
      quoted.replace(at, 1, "'\\''");
    }
    command += " " + (plain ? word : "'" + quoted + "'");
  }
  return "; PostgreSQL has no role of this system user: run the command as the service's user, "
         "as root with: " +
         terminalSafe(command);
}

bool chooseDatabase(const std::string& given, bool mayCreate, const char* defaultsFile,
                    std::string& url, std::string& created, std::string& message) {
  std::string from;
  const char* environment = std::getenv("VORN_COLLECTOR_DB");
  if (!given.empty()) {
    url = given;
    from = "--db";
  } else if (environment && *environment) {
    url = environment;
    from = "VORN_COLLECTOR_DB";
  } else if (!(url = databaseInDefaults(defaultsFile)).empty()) {
    from = std::string("VORN_COLLECTOR_DB of ") + defaultsFile;
  } else {
    url = workingDirectoryDatabase;
  }
  const std::string sqlitePrefix = "sqlite:";
  if (url.compare(0, sqlitePrefix.size(), sqlitePrefix) != 0) return true;
  const std::string path = url.substr(sqlitePrefix.size());
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0) return true;
  if (mayCreate) {
    created = path;
    return true;
  }
  const std::string why = std::strerror(errno);
  message = "no database at " + path + " (" + why + ")";
  if (from.empty()) {
    message += ": no --db was given, VORN_COLLECTOR_DB is not set and " +
               std::string(defaultsFile) + " names no database, so the working directory's " +
               path + " was tried";
  } else {
    message += ", named by " + from;
  }
  message +=
      "; `vorn-collector init` makes a database (and `player add` makes one where none is). "
      "Name the service's database with --db sqlite:PATH or --db postgresql://..., or set "
      "VORN_COLLECTOR_DB to it";
  return false;
}

std::string shownDatabase(const std::string& url) {
  const std::string sqlitePrefix = "sqlite:";
  if (url.compare(0, sqlitePrefix.size(), sqlitePrefix) == 0)
    return url.substr(sqlitePrefix.size());
  std::string shown = url;
  // user:password@ in the authority
  const auto authority = shown.find("://");
  const auto at = shown.find('@', authority == std::string::npos ? 0 : authority + 3);
  const auto slash = shown.find('/', authority == std::string::npos ? 0 : authority + 3);
  if (authority != std::string::npos && at != std::string::npos && at < slash) {
    const auto colon = shown.find(':', authority + 3);
    if (colon < at) shown.erase(colon, at - colon);
  }
  // password=... among the parameters
  for (auto at = shown.find("password="); at != std::string::npos;
       at = shown.find("password=", at + 1)) {
    const auto end = shown.find_first_of("& ", at);
    shown.replace(at + 9, end == std::string::npos ? std::string::npos : end - at - 9, "***");
  }
  return shown;
}

}  // namespace collector
