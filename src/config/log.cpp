#include "config/log.h"

#include <cstdio>
#include <mutex>

#include "config/settings.h"

const char* const logFileName = "VORN_Davida_Client.log";

namespace {
// Init (game thread) and the detector thread log concurrently; one line at a
// time keeps every line whole.
std::mutex logMutex;
}  // namespace

std::string formatLogLine(const platform::LocalTime& time, const std::string& message) {
  char stamp[16];
  std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d  ", time.hour % 100, time.minute % 100,
                time.second % 100);
  std::string line(stamp);
  line += message;
  line += '\n';
  return line;
}

void writeLog(const std::string& message) {
  const std::string path = fileBesideModule(logFileName);
  std::lock_guard<std::mutex> lock(logMutex);
  // Text mode: on Windows the line end becomes CR LF.
  std::FILE* file = std::fopen(path.c_str(), "a");
  if (file == nullptr) return;
  const std::string line = formatLogLine(platform::localTime(), message);
  std::fwrite(line.data(), 1, line.size(), file);
  std::fclose(file);
}
