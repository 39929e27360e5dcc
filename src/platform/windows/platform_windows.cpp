#include "platform/platform.h"

#include <windows.h>

namespace platform {

const char pathSeparator = '\\';
const char* const steamLibraryName = "steam_api64.dll";

std::string modulePathOf(const void* address) {
  HMODULE module = nullptr;
  // A failed lookup leaves the handle null, and the name then is the host
  // executable's: the plug-in's files are then looked for beside the game.
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                         GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     static_cast<LPCSTR>(address), &module);
  char path[MAX_PATH] = {};
  GetModuleFileNameA(module, path, MAX_PATH);
  path[MAX_PATH - 1] = '\0';
  return std::string(path);
}

LocalTime localTime() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return LocalTime{now.wHour, now.wMinute, now.wSecond};
}

void sleepMilliseconds(unsigned milliseconds) { Sleep(milliseconds); }

void* findLoadedLibrary(const char* name) {
  return reinterpret_cast<void*>(GetModuleHandleA(name));
}

void* findExport(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

}  // namespace platform
