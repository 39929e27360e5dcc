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

// Creates FILE (never replacing one; readable by its owner only, since it
// holds the key) and writes TEXT into it. False with ERROR on failure.
bool writeNewFile(const std::string& path, const std::string& text, std::string& error);

}  // namespace collector
