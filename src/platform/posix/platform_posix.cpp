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

// Bytes from `address` to the end of the object's loaded segment that holds
// it; 0 when none does.
size_t roomInObject(const struct dl_phdr_info* info, ElfW(Addr) address) {
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD) continue;
    const ElfW(Addr) begin = info->dlpi_addr + segment.p_vaddr;
    if (address >= begin && address - begin < segment.p_memsz)
      return segment.p_memsz - (address - begin);
  }
  return 0;
}

// The object's DT_SONAME, or null. The loader has usually relocated the
// string table's address in the dynamic section, but not on every system:
// whichever reading lies inside the object is taken, and the name must end
// inside it too.
const char* sonameOf(const struct dl_phdr_info* info) {
  const ElfW(Dyn)* dynamic = nullptr;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i)
    if (info->dlpi_phdr[i].p_type == PT_DYNAMIC)
      dynamic = reinterpret_cast<const ElfW(Dyn)*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
  if (dynamic == nullptr) return nullptr;
  ElfW(Addr) strings = 0;
  ElfW(Xword) soname = 0;
  bool hasSoname = false;
  for (const ElfW(Dyn)* entry = dynamic; entry->d_tag != DT_NULL; ++entry) {
    if (entry->d_tag == DT_STRTAB) strings = entry->d_un.d_ptr;
    if (entry->d_tag == DT_SONAME) {
      soname = entry->d_un.d_val;
      hasSoname = true;
    }
  }
  if (!hasSoname || strings == 0) return nullptr;
  for (const ElfW(Addr) table : {strings, strings + info->dlpi_addr}) {
    if (roomInObject(info, table) == 0) continue;
    const size_t room = roomInObject(info, table + soname);
    const char* name = reinterpret_cast<const char*>(table + soname);
    if (room > 0 && std::memchr(name, '\0', room) != nullptr) return name;
  }
  return nullptr;
}

// A loaded object whose path ends in the file name asked for, or whose
// DT_SONAME is that name (a library loaded under another file name); its path
// is copied into a fixed buffer, as nothing may throw through the loader.
int matchLoadedObject(struct dl_phdr_info* info, size_t, void* data) {
  LoadedObjectSearch& search = *static_cast<LoadedObjectSearch*>(data);
  const char* path = info->dlpi_name;
  if (path == nullptr || path[0] == '\0') return 0;
  const char* slash = std::strrchr(path, '/');
  if (std::strcmp(slash != nullptr ? slash + 1 : path, search.fileName) != 0) {
    const char* soname = sonameOf(info);
    if (soname == nullptr || std::strcmp(soname, search.fileName) != 0) return 0;
  }
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
