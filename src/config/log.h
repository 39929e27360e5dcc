// The plug-in's own log, VORN_Davida_Client.log beside the library.
#pragma once

#include <string>

#include "platform/platform.h"

extern const char* const logFileName;  // "VORN_Davida_Client.log"

// "HH:MM:SS", two spaces, the message and "\n" (CR LF once written in text mode on Windows).
std::string formatLogLine(const platform::LocalTime& time, const std::string& message);

// Appends one time-stamped line; a log that cannot be opened drops the message.
void writeLog(const std::string& message);
