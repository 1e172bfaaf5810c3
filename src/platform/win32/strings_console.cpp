// String comparison, the existence test and console output over kernel32.
#include <windows.h>

#include <cstring>
#include <string>

#include "platform/platform.h"

int platform_compare(const char* a, const char* b) { return lstrcmpA(a, b); }

int platform_compare_nocase(const char* a, const char* b) { return lstrcmpiA(a, b); }

namespace {

// OpenFile takes at most OFS_MAXPATHNAME - 1 characters; a longer name is
// probed by opening it the way the message file is opened later.
bool long_name_exists(const char* name) {
  HANDLE h = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

}  // namespace

bool platform_file_exists(const char* name) {
  if (std::strlen(name) >= OFS_MAXPATHNAME) return long_name_exists(name);
  OFSTRUCT info{};
  return OpenFile(name, &info, OF_EXIST) != HFILE_ERROR;
}

bool platform_is_folder(const char* name) {
  const DWORD attributes = GetFileAttributesA(name);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

namespace {

void write_handle(DWORD which, const char* data, std::size_t length) {
  HANDLE out = GetStdHandle(which);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  // WriteFile counts in 32 bits; a console may also write less than asked.
  while (length > 0) {
    DWORD chunk = length > 0x10000000u ? 0x10000000u : static_cast<DWORD>(length);
    DWORD written = 0;
    if (!WriteFile(out, data, chunk, &written, nullptr) || written == 0) return;
    data += written;
    length -= written;
  }
}

}  // namespace

void platform_write_stdout(const char* data, std::size_t length) {
  write_handle(STD_OUTPUT_HANDLE, data, length);
}

void platform_write_stderr(const char* data, std::size_t length) {
  write_handle(STD_ERROR_HANDLE, data, length);
}

// Windows hands sockets no standard handle's place and raises no signal for
// a closed pipe: there is nothing to prepare.
void platform_prepare_process() {}

bool platform_stderr_is_terminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

// The console's own way: the cursor goes back to the start of its row, the
// line is written there and the rest of the row is filled with blanks.
void platform_show_status_line(const std::string& line) {
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(err, &info)) return;
  COORD start = {0, info.dwCursorPosition.Y};
  const DWORD width = static_cast<DWORD>(info.dwSize.X);
  const DWORD length = line.size() < width ? static_cast<DWORD>(line.size()) : width - 1;
  DWORD written = 0;
  SetConsoleCursorPosition(err, start);
  WriteConsoleA(err, line.data(), length, &written, nullptr);
  COORD rest = {static_cast<SHORT>(length), start.Y};
  FillConsoleOutputCharacterA(err, ' ', width - length, rest, &written);
  SetConsoleCursorPosition(err, line.empty() ? start : rest);
}

std::int64_t platform_monotonic_ms() { return static_cast<std::int64_t>(GetTickCount64()); }
