// The plug-in's four settings, their built-in defaults and the reader of
// VORN_Davida_Client.ini beside the library.
#pragma once

#include <cstdint>
#include <istream>
#include <string>

struct Settings {
  std::string PlayerName;
  std::string CollectorURL;
  std::string ApiKey;
  std::int32_t SendIntervalSeconds;
};

// Placeholders that init refuses to start with.
extern const char* const playerNamePlaceholder;  // "CHANGE_ME"
extern const char* const apiKeyPlaceholder;      // "PASTE_API_KEY_HERE"
extern const char* const settingsFileName;       // "VORN_Davida_Client.ini"

constexpr std::int32_t minimumSendIntervalSeconds = 10;

// The process-wide settings. Written only by init before the worker threads
// start; read without a lock afterwards.
extern Settings settings;

Settings defaultSettings();

std::string trimWhitespace(const std::string& text);

// Directory of the plug-in's own library file, without a trailing separator,
// or "." when none can be found.
std::string moduleDirectory();
// Splits a module path at its last '\' or '/'; "." when it holds neither.
std::string directoryOfPath(const std::string& path);
// `directory` + the platform's separator + `fileName`.
std::string fileBesideModule(const char* fileName);

// Applies the key=value lines of an ini text to `target`, in order.
void applySettingsText(std::istream& input, Settings& target);
// Reads the ini file beside the library into `settings`; a missing file changes nothing.
void loadSettings();
