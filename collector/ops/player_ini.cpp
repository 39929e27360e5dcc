#include "ops/player_ini.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>
#include <utility>

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

namespace {

// What the comment above a filled-in setting says in place of the template's
// instructions to fill it in.
const char* filledInComment(const std::string& line, bool urlGiven) {
  if (line.rfind("PlayerName=", 0) == 0) {
    return "# Your driver name, as it appears in the standings and as your community's\r\n"
           "# operator added it: keep it exactly as it is.\r\n";
  }
  if (line.rfind("ApiKey=", 0) == 0) {
    return "# Your key, from your community's operator; it goes with every report. Keep it\r\n"
           "# exactly as it is, and to yourself: whoever has it reports as you.\r\n";
  }
  if (urlGiven && line.rfind("CollectorURL=", 0) == 0) {
    return "# Where the reports go: your community's collector. Keep this line as it is\r\n"
           "# unless the operator tells you another address.\r\n";
  }
  return nullptr;
}

}  // namespace

std::string playerIni(const std::string& name, const std::string& apiKey, const std::string& url) {
  std::istringstream lines(playerIniTemplate);
  std::string line;
  std::string out;
  std::string comments;  // the comment lines just above the line read
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line.front() == '#') {
      comments += line + "\r\n";
      continue;
    }
    if (const char* filled = filledInComment(line, !url.empty())) comments = filled;
    if (line.rfind("PlayerName=", 0) == 0) {
      line = "PlayerName=" + name;
    } else if (line.rfind("ApiKey=", 0) == 0) {
      line = "ApiKey=" + apiKey;
    } else if (line.rfind("CollectorURL=", 0) == 0 && !url.empty()) {
      line = "CollectorURL=" + url;
    }
    out += comments + line + "\r\n";
    comments.clear();
  }
  return out + comments;
}

std::string playerFolderName(const std::string& name) {
  std::string folder;
  for (const char c : name) {
    const bool unfit = static_cast<unsigned char>(c) < 0x20 || std::strchr(" /\\:*?\"<>|", c);
    folder += unfit || (folder.empty() && c == '.') ? '_' : c;
  }
  return folder;
}

std::string playerIniPath(const std::string& target, const std::string& name,
                          std::string& madeFolder, std::string& error) {
  struct stat status {};
  if (::stat(target.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return target;
  const std::string folder = target + (target.back() == '/' ? "" : "/") + playerFolderName(name);
  if (::mkdir(folder.c_str(), 0700) == 0) {
    madeFolder = folder;
  } else if (errno != EEXIST) {
    error = folder + ": " + std::strerror(errno);
    return "";
  }
  return folder + "/" + playerIniName;
}

NewFile::NewFile(std::string path) : path_(std::move(path)) {
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd_ < 0) error_ = path_ + ": " + std::strerror(errno);
}

NewFile::~NewFile() {
  if (fd_ >= 0) ::close(fd_);
  if (fd_ >= 0 && !written_) ::unlink(path_.c_str());
}

bool NewFile::write(const std::string& text) {
  std::size_t done = 0;
  while (fd_ >= 0 && done < text.size()) {
    const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  written_ = fd_ >= 0 && done == text.size() && ::fsync(fd_) == 0;
  if (!written_) error_ = path_ + ": " + std::strerror(errno);
  return written_;
}

}  // namespace collector
