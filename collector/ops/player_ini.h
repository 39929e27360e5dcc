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

// The whole file: CR LF line ends, UTF-8 without a byte-order mark; the
// comments above the values filled in speak of them as filled in.
std::string playerIni(const std::string& name, const std::string& apiKey, const std::string& url);

// The file name the plug-in reads its settings from.
inline constexpr const char* playerIniName = "VORN_Davida_Client.ini";

// NAME as the name of a folder: spaces, path separators, characters Windows
// forbids in names and a leading dot become "_" ("Night Owl" -> "Night_Owl").
std::string playerFolderName(const std::string& name);

// Where `player add --ini TARGET` writes: TARGET itself, or for an existing
// folder TARGET/<playerFolderName>/VORN_Davida_Client.ini, one folder a
// player, so that each player's file already has the one name the plug-in
// reads. That player's folder is made (owner only) when missing, and its path
// put in `madeFolder`, for the caller to remove again should the player not be
// added. "" with `error` when the folder cannot be made.
std::string playerIniPath(const std::string& target, const std::string& name,
                          std::string& madeFolder, std::string& error);

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
