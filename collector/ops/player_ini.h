// The settings file a player drops beside the plug-in: the package's commented
// template with the player's name, key and collector URL filled in, written by
// `vorn-collector player add NAME --ini FILE`.
#pragma once

#include <string>

namespace collector {

// Why NAME or URL would not reach the plug-in byte for byte through an ini
// (the reader trims spaces and tabs, cuts lines at CR and LF, and the
// collector takes only UTF-8), or "" when both can. An empty URL keeps the
// template's own CollectorURL.
std::string playerIniProblem(const std::string& name, const std::string& url);

// The whole file: CR LF line ends, UTF-8 without a byte-order mark.
std::string playerIni(const std::string& name, const std::string& apiKey, const std::string& url);

// A file created anew (never replacing one; readable by its owner only, since
// it will hold the key), so that a path that cannot be written is found before
// the player is added. Removed again unless write() succeeded.
class NewFile {
 public:
  explicit NewFile(std::string path);
  ~NewFile();
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  const std::string& error() const { return error_; }  // "" once created
  bool write(const std::string& text);                 // false with error()

 private:
  std::string path_;
  std::string error_;
  int fd_ = -1;
  bool written_ = false;
};

}  // namespace collector
