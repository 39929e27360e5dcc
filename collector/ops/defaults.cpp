#include "ops/defaults.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "announce/results.h"
#include "core/servers.h"
#include "core/text.h"

namespace collector {

namespace {

const char* const spaces = " \t\r";

// The value after KEY=, as systemd reads it.
std::string environmentValue(const std::string& text) {
  std::string value;
  std::size_t kept = 0;  // the value's length up to its last quoted or escaped character
  for (std::size_t at = text.find_first_not_of(spaces); at < text.size(); ++at) {
    const char c = text[at];
    if (c == '\'' || c == '"') {
      const std::size_t end = text.find(c, at + 1);
      for (std::size_t i = at + 1; i < std::min(end, text.size()); ++i) {
        if (c == '"' && text[i] == '\\' && i + 1 < text.size() &&
            std::string("\"\\$`").find(text[i + 1]) != std::string::npos) {
          ++i;
        }
        value += text[i];
      }
      at = end == std::string::npos ? text.size() : end;
      kept = value.size();
    } else if (c == '\\' && at + 1 < text.size()) {
      value += text[++at];
      kept = value.size();
    } else {
      value += c;
      if (std::string(spaces).find(c) == std::string::npos) kept = value.size();
    }
  }
  return value.substr(0, kept);
}

// The values of `flag` in the service's VORN_COLLECTOR_OPTS, split at
// spaces as systemd splits them: "--flag VALUE" and "--flag=VALUE".
std::vector<std::string> optionValues(const std::string& flag, const char* defaultsFile) {
  std::vector<std::string> values;
  std::istringstream words(environmentOrDefaults("VORN_COLLECTOR_OPTS", defaultsFile));
  for (std::string word; words >> word;) {
    if (word == flag && words >> word) {
      values.push_back(word);
    } else if (word.compare(0, flag.size() + 1, flag + "=") == 0) {
      values.push_back(word.substr(flag.size() + 1));
    }
  }
  return values;
}

}  // namespace

std::map<std::string, std::string> readEnvironmentFile(std::istream& file) {
  std::map<std::string, std::string> values;
  for (std::string line; std::getline(file, line);) {
    const auto start = line.find_first_not_of(spaces);
    if (start == std::string::npos || line[start] == '#' || line[start] == ';') continue;
    const auto equals = line.find('=', start);
    if (equals == std::string::npos) continue;
    std::string key = line.substr(start, equals - start);
    key.erase(key.find_last_not_of(spaces) + 1);
    values[key] = environmentValue(line.substr(equals + 1));
  }
  return values;
}

std::string environmentOrDefaults(const char* name, const char* defaultsFile) {
  if (const char* set = std::getenv(name); set && *set) return set;
  std::ifstream file(defaultsFile);
  const auto values = readEnvironmentFile(file);
  const auto found = values.find(name);
  return found == values.end() ? "" : found->second;
}

std::vector<std::string> serverNameEntries(const std::string& list) {
  std::vector<std::string> entries;
  std::istringstream parts(list);
  for (std::string entry; std::getline(parts, entry, ';');) {
    const auto first = entry.find_first_not_of(spaces);
    if (first == std::string::npos) continue;
    entries.push_back(entry.substr(first, entry.find_last_not_of(spaces) + 1 - first));
  }
  return entries;
}

bool addServerNames(const std::vector<std::string>& entries,
                    std::map<std::string, std::string>& names, std::string& message) {
  const auto any = [](const std::string&) { return true; };
  for (const std::string& entry : entries) {
    ServerOption option;
    if (!parseServerOption("--server-name", "ID=NAME", entry, any, option, message)) return false;
    if (!names.emplace(option.id, option.value).second) {
      message = "--server-name: '" + option.id + "' is named twice";
      return false;
    }
  }
  return true;
}

std::string withoutTrailingSlashes(std::string url) {
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

std::string servicePublicUrl(const char* defaultsFile) {
  const std::vector<std::string> given = optionValues("--public-url", defaultsFile);
  if (given.size() != 1) return "";
  const std::string url = withoutTrailingSlashes(given.front());
  return publicUrlProblem(url).empty() ? url : "";
}

std::string quotedWordProblem(const std::string& word) {
  if (word.find_first_of("\"'") == std::string::npos) return "";
  return "the word " + terminalSafe(word) +
         " holds a quotation mark: the service's VORN_COLLECTOR_OPTS is split at every space, "
         "quotes or not. A server name with spaces goes in VORN_SERVER_NAMES, \"ID=NAME; "
         "ID=NAME\", and a title in a drop-in (see operators.md)";
}

std::map<std::string, std::string> serviceServerNames(const char* defaultsFile) {
  std::vector<std::string> entries = optionValues("--server-name", defaultsFile);
  for (const std::string& entry :
       serverNameEntries(environmentOrDefaults("VORN_SERVER_NAMES", defaultsFile))) {
    entries.push_back(entry);
  }
  std::map<std::string, std::string> names;
  std::string message;
  return addServerNames(entries, names, message) ? names : std::map<std::string, std::string>();
}

}  // namespace collector
