// The message file, temporary files and console capture over kernel32 and
// the C runtime's text mode.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "platform/platform.h"

namespace {

HANDLE handle_of(const PlatformFile& file) { return reinterpret_cast<HANDLE>(file.handle); }

// One ReadFile request moves at most this many bytes: DWORD counts, kept
// well below 4 GiB.
constexpr std::uint64_t kReadChunkBytes = 1u << 30;

constexpr int kCtrlZ = 26;

}  // namespace

int platform_open_for_reading(const char* name, PlatformFile* file) {
  HANDLE h = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return -1;
  file->handle = reinterpret_cast<std::intptr_t>(h);
  return 0;
}

bool platform_is_disk_file(const PlatformFile& file) {
  return GetFileType(handle_of(file)) == FILE_TYPE_DISK;
}

int platform_file_size(const PlatformFile& file, std::uint64_t* size) {
  LARGE_INTEGER value{};
  if (!GetFileSizeEx(handle_of(file), &value)) return -1;
  *size = static_cast<std::uint64_t>(value.QuadPart);
  return 0;
}

int platform_read_exactly(const PlatformFile& file, char* buffer, std::uint64_t size) {
  while (size > 0) {
    DWORD want = static_cast<DWORD>(size < kReadChunkBytes ? size : kReadChunkBytes);
    DWORD got = 0;
    if (!ReadFile(handle_of(file), buffer, want, &got, nullptr) || got == 0) return -1;
    buffer += got;
    size -= got;
  }
  return 0;
}

void platform_close_file(PlatformFile* file) {
  if (file->handle == -1) return;
  CloseHandle(handle_of(*file));
  file->handle = -1;
}

int platform_delete_file(const char* name) { return DeleteFileA(name) ? 0 : -1; }

int platform_temp_dir(std::string* dir) {
  char buffer[MAX_PATH + 1];  // GetTempPathA never needs more than MAX_PATH + 1
  DWORD length = GetTempPathA(sizeof buffer, buffer);
  if (length == 0 || length >= sizeof buffer) return -1;
  dir->assign(buffer, length);
  return 0;
}

int platform_create_temp_file(const std::string& dir, const char* prefix, std::string* name) {
  char buffer[MAX_PATH];  // GetTempFileNameA writes at most MAX_PATH bytes
  if (GetTempFileNameA(dir.c_str(), prefix, 0, buffer) == 0) return -1;
  name->assign(buffer);
  return 0;
}

int platform_capture_console_input(const char* name) {
  std::FILE* out = std::fopen(name, "w");
  if (out == nullptr) return -1;
  // Text mode: CR LF arrives as LF and the runtime ends the input at Ctrl-Z;
  // the explicit test covers a runtime that hands the Ctrl-Z through.
  _setmode(_fileno(stdin), _O_TEXT);
  for (int c = std::getc(stdin); c != EOF && c != kCtrlZ; c = std::getc(stdin)) {
    std::fputc(c, out);
  }
  std::fclose(out);
  return 0;
}
