// Which database a command works on when its --db is not given: the one the
// package's service uses, so that an operator's `player list` never looks at
// (or makes) an empty database in whatever folder they stand in.
#pragma once

#include <string>
#include <vector>

namespace collector {

// The package's file of the service's settings, shell assignments
// (VORN_COLLECTOR_DB="sqlite:/var/lib/...").
inline constexpr const char* serviceDefaultsFile = "/etc/default/vorn-collector";

// The system user the package's service runs as.
inline constexpr const char* serviceUser = "vorn-collector";

// The database of last resort: a SQLite file in the working directory.
inline constexpr const char* workingDirectoryDatabase = "sqlite:vorn-collector.db";

// The value of the last VORN_COLLECTOR_DB= line of a defaults file, read as
// systemd reads it; empty when the file or the line is missing.
std::string databaseInDefaults(const char* path);

// The URL of a command's database: `given` (--db) if not empty, else
// $VORN_COLLECTOR_DB, else the defaults file's, else the working directory's
// SQLite file. Only a command that may make a database (`mayCreate`: init,
// player add) opens a SQLite file that does not exist yet, and `created` is
// then its path; for any other the answer is false and `message` says where
// it looked, how to point it and how a database is made.
bool chooseDatabase(const std::string& given, bool mayCreate, const char* defaultsFile,
                    std::string& url, std::string& created, std::string& message);

// The database as a start line names it: a SQLite file's path, or the
// PostgreSQL URL with any password left out.
std::string shownDatabase(const std::string& url);

// When PostgreSQL refused the role of the user that ran a command (as root,
// whose role the service's database does not have): how to run the command,
// `words` (argv after the program), as the service's user instead, to follow
// the error. "" for any other error.
std::string serviceUserHint(const std::string& error, const std::vector<std::string>& words);

}  // namespace collector
