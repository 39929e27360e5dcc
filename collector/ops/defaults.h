// The service's defaults file (/etc/default/vorn-collector) read as systemd
// reads an EnvironmentFile, and what the commands take from it: the server
// names the pages use. Names with spaces cannot go through
// VORN_COLLECTOR_OPTS, which systemd splits at every space, quotes or not:
// they go in VORN_SERVER_NAMES, "ID=NAME; ID=NAME".
#pragma once

#include <istream>
#include <map>
#include <string>
#include <vector>

namespace collector {

// KEY=VALUE lines as systemd reads them: lines starting with # or ; are
// comments; a value's unquoted spaces at either end go; "..." holds spaces
// and takes \" \\ \$ \` escapes, '...' holds anything but '; a backslash
// outside quotes takes the next character as it is. A key given twice: the
// later line wins.
std::map<std::string, std::string> readEnvironmentFile(std::istream& file);

// $NAME when set and not empty, else the defaults file's NAME ("" when neither).
std::string environmentOrDefaults(const char* name, const char* defaultsFile);

// The ID=NAME entries of a VORN_SERVER_NAMES value, split at ';', spaces
// around each entry dropped, empty entries skipped.
std::vector<std::string> serverNameEntries(const std::string& list);

// Adds each ID=NAME (of --server-name or VORN_SERVER_NAMES) to `names`, ID
// one of the build's servers, named once. False with the message otherwise.
bool addServerNames(const std::vector<std::string>& entries,
                    std::map<std::string, std::string>& names, std::string& message);

// When `word` holds a quotation mark: that the service's options are split at
// every space, quotes or not, and where a name with spaces goes. Else "".
std::string quotedWordProblem(const std::string& word);

// The server names the service's pages use: the --server-name words of
// VORN_COLLECTOR_OPTS and the entries of VORN_SERVER_NAMES, each from the
// environment or else the defaults file. Empty when none can be read.
std::map<std::string, std::string> serviceServerNames(const char* defaultsFile);

// `url` without the slashes at its end.
std::string withoutTrailingSlashes(std::string url);

// The public URL of the service's pages: the --public-url word of
// VORN_COLLECTOR_OPTS, from the environment or else the defaults file, when
// it is one that serve takes; else "".
std::string servicePublicUrl(const char* defaultsFile);

}  // namespace collector
