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
                    std::string& url, std::string& message) {
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
  if (mayCreate || url.compare(0, sqlitePrefix.size(), sqlitePrefix) != 0) return true;
  const std::string path = url.substr(sqlitePrefix.size());
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0) return true;
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
      "; only serve and player add make a database. Name the service's database with --db "
      "sqlite:PATH or --db postgresql://..., or set VORN_COLLECTOR_DB to it";
  return false;
}

}  // namespace collector
