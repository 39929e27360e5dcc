#include <dlfcn.h>
#include <link.h>
#include <time.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/platform.h"

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
  struct tm parts {};
  localtime_r(&now, &parts);
  return LocalTime{parts.tm_hour, parts.tm_min, parts.tm_sec};
}

void sleepMilliseconds(unsigned milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

namespace {

struct LoadedObjectSearch {
  const char* fileName;
  char path[4096];
};

// A loaded object whose path ends in the file name asked for; its path is
// copied into a fixed buffer, as nothing may throw through the loader.
int matchLoadedObject(struct dl_phdr_info* info, size_t, void* data) {
  LoadedObjectSearch& search = *static_cast<LoadedObjectSearch*>(data);
  const char* path = info->dlpi_name;
  if (path == nullptr || path[0] == '\0') return 0;
  const char* slash = std::strrchr(path, '/');
  if (std::strcmp(slash != nullptr ? slash + 1 : path, search.fileName) != 0) return 0;
  const size_t length = std::strlen(path);
  if (length >= sizeof search.path) return 0;
  std::memcpy(search.path, path, length + 1);
  return 1;
}

}  // namespace

void* findLoadedLibrary(const char* name) {
  // The loaded objects are looked through in memory: while the library is
  // absent nothing searches the library path or touches a file. dlopen with
  // the full path of an object already loaded finds it among those too; the
  // reference it takes is given back at once, so that the game alone decides
  // when the library goes.
  LoadedObjectSearch search{name, {}};
  if (dl_iterate_phdr(&matchLoadedObject, &search) == 0) return nullptr;
  void* handle = dlopen(search.path, RTLD_NOLOAD | RTLD_NOW);
  if (handle != nullptr) dlclose(handle);
  return handle;
}

void* findExport(void* library, const char* name) { return dlsym(library, name); }

}  // namespace platform
