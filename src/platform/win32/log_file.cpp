// The log file of -log over kernel32: appended to, never truncated.
#include <windows.h>

#include "platform/platform.h"

// With FILE_APPEND_DATA alone each WriteFile lands at the end of the file,
// whoever else appends meanwhile. The file takes its folder's permissions.
int platform_open_log(const char* name, PlatformFile* log) {
  HANDLE h = CreateFileA(name, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return -1;
  log->handle = reinterpret_cast<std::intptr_t>(h);
  return 0;
}

void platform_append_log(const PlatformFile& log, const char* data, std::size_t length) {
  if (log.handle == -1) return;
  DWORD written = 0;
  WriteFile(reinterpret_cast<HANDLE>(log.handle), data, static_cast<DWORD>(length), &written,
            nullptr);
}
