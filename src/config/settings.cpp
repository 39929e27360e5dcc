#include "config/settings.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/platform.h"
#include "vorn_deployment.h"

const char* const playerNamePlaceholder = "CHANGE_ME";
const char* const apiKeyPlaceholder = "PASTE_API_KEY_HERE";
const char* const settingsFileName = "VORN_Davida_Client.ini";

Settings defaultSettings() {
  return Settings{playerNamePlaceholder, deployment::defaultCollectorUrl, apiKeyPlaceholder, 60};
}

Settings settings = defaultSettings();

namespace {

bool isIniWhitespace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// strtol-style base-10 parse of the interval; false when no digit was read or
// the number does not fit 32 bits.
bool parseInterval(const std::string& value, std::int32_t& out) {
  const char* begin = value.c_str();
  char* end = nullptr;
  errno = 0;
  const long long number = std::strtoll(begin, &end, 10);
  if (end == begin) return false;
  if (errno == ERANGE || number < INT32_MIN || number > INT32_MAX) return false;
  out = static_cast<std::int32_t>(number);
  return true;
}

}  // namespace

std::string trimWhitespace(const std::string& text) {
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && isIniWhitespace(text[first])) ++first;
  while (last > first && isIniWhitespace(text[last - 1])) --last;
  return text.substr(first, last - first);
}

std::string directoryOfPath(const std::string& path) {
  const std::size_t cut = path.find_last_of("\\/");
  if (cut == std::string::npos) return ".";
  return path.substr(0, cut);
}

std::string moduleDirectory() {
  return directoryOfPath(platform::modulePathOf(reinterpret_cast<const void*>(&moduleDirectory)));
}

std::string fileBesideModule(const char* fileName) {
  return moduleDirectory() + platform::pathSeparator + fileName;
}

void applySettingsText(std::istream& input, Settings& target) {
  std::string raw;
  while (std::getline(input, raw)) {
    const std::string line = trimWhitespace(raw);
    if (line.empty() || line[0] == '#' || line[0] == ';' || line[0] == '[') continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = trimWhitespace(line.substr(0, equals));
    const std::string value = trimWhitespace(line.substr(equals + 1));
    if (key == "PlayerName") {
      target.PlayerName = value;
    } else if (key == "CollectorURL") {
      target.CollectorURL = value;
    } else if (key == "ApiKey") {
      target.ApiKey = value;
    } else if (key == "SendIntervalSeconds") {
      std::int32_t interval = 0;
      if (parseInterval(value, interval)) {
        target.SendIntervalSeconds =
            interval > minimumSendIntervalSeconds ? interval : minimumSendIntervalSeconds;
      }
    }
  }
}

void loadSettings() {
  std::ifstream file(fileBesideModule(settingsFileName), std::ios::in | std::ios::binary);
  if (!file) return;
  applySettingsText(file, settings);
}
