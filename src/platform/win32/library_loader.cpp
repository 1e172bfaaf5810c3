// Run-time loading over kernel32, from the program's folder and the system
// folders only: a library of the same name in the current folder (a
// download folder, a share) is never loaded.
#include <windows.h>

#include "platform/platform.h"

void* platform_load_library(const char* name) {
  return reinterpret_cast<void*>(LoadLibraryExA(
      name, nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32));
}

void* platform_find_symbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

std::string platform_library_path(void* library) {
  char path[MAX_PATH + 1] = {};
  if (library == nullptr) return {};
  const DWORD length = GetModuleFileNameA(static_cast<HMODULE>(library), path, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::string(path, length) : std::string();
}

void platform_free_library(void* library) {
  if (library != nullptr) FreeLibrary(static_cast<HMODULE>(library));
}
