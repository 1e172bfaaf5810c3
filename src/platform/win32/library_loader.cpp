// Run-time loading over kernel32: Windows looks beside the executable first.
#include <windows.h>

#include "platform/platform.h"

void* platform_load_library(const char* name) {
  return reinterpret_cast<void*>(LoadLibraryA(name));
}

void* platform_find_symbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void platform_free_library(void* library) {
  if (library != nullptr) FreeLibrary(static_cast<HMODULE>(library));
}
