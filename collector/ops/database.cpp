#include "ops/database.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace collector {

std::string databaseInDefaults(const char* path) {
  std::ifstream file(path);
  std::string line;
  std::string value;
  const std::string key = "VORN_COLLECTOR_DB=";
  while (std::getline(file, line)) {
    const auto start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line.compare(start, key.size(), key) != 0) continue;
    value = line.substr(start + key.size());
    while (!value.empty() &&
           (value.back() == ' ' || value.back() == '\t' || value.back() == '\r')) {
      value.pop_back();
    }
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
  }
  return value;
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
