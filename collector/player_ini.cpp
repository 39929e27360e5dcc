#include "player_ini.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>

#include "player_ini_template.h"

namespace collector {

namespace {

bool iniBlank(char c) { return c == ' ' || c == '\t'; }

std::string textProblem(const char* what, const std::string& text) {
  if (text.empty()) return std::string(what) + " is empty";
  if (iniBlank(text.front()) || iniBlank(text.back())) {
    return std::string(what) + " starts or ends with a space or a tab, which the ini reader drops";
  }
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) return std::string(what) + " holds a control character";
  }
  try {
    (void)nlohmann::json(text).dump();
  } catch (const nlohmann::json::exception&) {
    return std::string(what) + " is not UTF-8";
  }
  return "";
}

}  // namespace

std::string playerIniProblem(const std::string& name, const std::string& url) {
  std::string problem = textProblem("the player's name", name);
  if (problem.empty() && name == "CHANGE_ME") problem = "the player's name is the placeholder";
  if (problem.empty() && !url.empty()) {
    problem = textProblem("the collector URL", url);
    if (problem.empty() && url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) {
      problem = "the collector URL does not start with http:// or https://";
    }
  }
  return problem;
}

std::string playerIni(const std::string& name, const std::string& apiKey, const std::string& url) {
  std::istringstream lines(playerIniTemplate);
  std::string line;
  std::string out;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("PlayerName=", 0) == 0) {
      line = "PlayerName=" + name;
    } else if (line.rfind("ApiKey=", 0) == 0) {
      line = "ApiKey=" + apiKey;
    } else if (line.rfind("CollectorURL=", 0) == 0 && !url.empty()) {
      line = "CollectorURL=" + url;
    }
    out += line + "\r\n";
  }
  return out;
}

bool writeNewFile(const std::string& path, const std::string& text, std::string& error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  const bool whole = done == text.size() && ::fsync(fd) == 0;
  if (!whole) error = path + ": " + std::strerror(errno);
  if (::close(fd) != 0 && whole) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  return whole;
}

}  // namespace collector
