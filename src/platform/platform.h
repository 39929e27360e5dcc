// The plug-in's only door to the operating system. Everything behind it is in
// src/platform/windows (Win32, WinHTTP) or src/platform/posix (dlfcn, libcurl);
// the subsystems above stay portable.
#pragma once

#include <chrono>
#include <string>

#include "config/timing.h"

namespace platform {

// Joins the plug-in's directory and one of its file names: '\' on Windows, '/' elsewhere.
extern const char pathSeparator;

// Name under which the game's process has the Steam client library loaded.
extern const char* const steamLibraryName;

// Full path of the module (library or executable) whose code holds `address`,
// cut to 259 bytes as a 260-byte buffer would; empty when it cannot be found.
// On Windows a failed handle lookup yields the host executable's path.
std::string modulePathOf(const void* address);

struct LocalTime {
  int hour;
  int minute;
  int second;
};
LocalTime localTime();

void sleepMilliseconds(unsigned milliseconds);

// A library the process has already loaded, or null; never loads one itself
// and takes no reference that would keep it loaded.
void* findLoadedLibrary(const char* name);
// An export of that library by name, or null.
void* findExport(void* library, const char* name);

// When a post under way gives up: at `deadline`, or as soon as `giveUp`
// answers true. Either way it ends as not accepted. giveUp is asked on the
// posting thread at least every postCheckMilliseconds while the post waits.
struct PostLimits {
  std::chrono::steady_clock::time_point deadline;
  bool (*giveUp)(void* context);
  void* context;
};
constexpr unsigned postCheckMilliseconds = waitMilliseconds(50);

// One POST of `body` to `url` with the key header, within `limits`; true only
// when a response with a status from 200 to 299 arrived in time.
bool httpPost(const std::string& url, const std::string& apiKey, const std::string& body,
              const PostLimits& limits);

}  // namespace platform
