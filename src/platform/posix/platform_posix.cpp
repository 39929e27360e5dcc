#include "platform/platform.h"

#include <dlfcn.h>
#include <time.h>

#include <chrono>
#include <thread>

namespace platform {

const char pathSeparator = '/';
const char* const steamLibraryName = "libsteam_api.so";

std::string modulePathOf(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return std::string();
  std::string path(info.dli_fname);
  if (path.size() > 259) path.resize(259);
  return path;
}

LocalTime localTime() {
  const time_t now = time(nullptr);
  struct tm parts{};
  localtime_r(&now, &parts);
  return LocalTime{parts.tm_hour, parts.tm_min, parts.tm_sec};
}

void sleepMilliseconds(unsigned milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void* findLoadedLibrary(const char* name) {
  // RTLD_NOLOAD finds the library only when it is loaded already; the reference
  // it takes is given back at once so that the game alone decides when it goes.
  void* handle = dlopen(name, RTLD_NOLOAD | RTLD_NOW);
  if (handle != nullptr) dlclose(handle);
  return handle;
}

void* findExport(void* library, const char* name) { return dlsym(library, name); }

}  // namespace platform
