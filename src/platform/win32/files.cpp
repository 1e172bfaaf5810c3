// The message file, temporary files and console capture over kernel32 and
// the C runtime's text mode.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <new>
#include <string>

#include "platform/platform.h"
#include "platform/read_exactly.h"

namespace {

HANDLE handle_of(const PlatformFile& file) { return reinterpret_cast<HANDLE>(file.handle); }

constexpr int kCtrlZ = 26;
// Console input is written to the temporary file in blocks of this size.
constexpr std::size_t kConsoleBlockBytes = 64 * 1024;
// Names tried before giving up on finding an unused temporary file name.
constexpr unsigned kTempNameAttempts = 100;

// Writes and empties *pending. False on a failure.
bool write_all(HANDLE out, std::string* pending) {
  const char* at = pending->data();
  std::size_t left = pending->size();
  while (left > 0) {
    DWORD written = 0;
    if (!WriteFile(out, at, static_cast<DWORD>(left), &written, nullptr) || written == 0) {
      return false;
    }
    at += written;
    left -= written;
  }
  pending->clear();
  return true;
}

// Creates a new temporary file in dir named by GetTempFileNameA's pattern,
// for this process alone, never reusing an existing name, and deleted when
// the process lets go of it, even when it is ended by Ctrl-C. The handle,
// or INVALID_HANDLE_VALUE with *name empty.
HANDLE create_temp_file(const std::string& dir, const char* prefix, std::string* name) {
  const unsigned first = GetTickCount() ^ GetCurrentProcessId();
  for (unsigned attempt = 0; attempt < kTempNameAttempts; ++attempt) {
    char buffer[MAX_PATH];  // GetTempFileNameA writes at most MAX_PATH bytes
    unsigned unique = ((first + attempt * 7919u) & 0xFFFFu) | 1u;  // 0 would let it create the file
    if (GetTempFileNameA(dir.c_str(), prefix, unique, buffer) == 0) break;
    HANDLE h = CreateFileA(buffer, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      name->assign(buffer);
      return h;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) break;
  }
  name->clear();
  return INVALID_HANDLE_VALUE;
}

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

// Windows has no file systems whose sizes are made up.
bool platform_is_pseudo_file(const PlatformFile&) { return false; }

int platform_seek_file(const PlatformFile& file, std::uint64_t offset) {
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(handle_of(file), to, nullptr, FILE_BEGIN) ? 0 : -1;
}

int platform_read_exactly(const PlatformFile& file, char* buffer, std::uint64_t size,
                          std::uint64_t* got) {
  return read_exactly(buffer, size, got, [&file](char* at, std::size_t want) -> long {
    DWORD count = 0;
    if (!ReadFile(handle_of(file), at, static_cast<DWORD>(want), &count, nullptr)) return -1;
    return static_cast<long>(count);
  });
}

void platform_close_file(PlatformFile* file) {
  if (file->handle == -1) return;
  CloseHandle(handle_of(*file));
  file->handle = -1;
}

int platform_temp_dir(std::string* dir) {
  char buffer[MAX_PATH + 1];  // GetTempPathA never needs more than MAX_PATH + 1
  DWORD length = GetTempPathA(sizeof buffer, buffer);
  if (length == 0 || length >= sizeof buffer) return -1;
  dir->assign(buffer, length);
  return 0;
}

int platform_capture_console_input(const std::string& dir, const char* prefix, std::string* name,
                                   PlatformFile* file) {
  HANDLE out = create_temp_file(dir, prefix, name);
  if (out == INVALID_HANDLE_VALUE) return kCaptureCantCreate;
  file->handle = reinterpret_cast<std::intptr_t>(out);
  // Text mode: CR LF arrives as LF and the runtime ends the input at Ctrl-Z;
  // the explicit test covers a runtime that hands the Ctrl-Z through.
  _setmode(_fileno(stdin), _O_TEXT);
  std::string pending;
  for (int c = std::getc(stdin); c != EOF && c != kCtrlZ; c = std::getc(stdin)) {
    if (c == '\n') pending += '\r';  // stored as text: LF becomes CR LF
    pending += static_cast<char>(c);
    if (pending.size() >= kConsoleBlockBytes && !write_all(out, &pending)) {
      return kCaptureWriteFailed;
    }
  }
  if (std::ferror(stdin)) return kCaptureReadFailed;
  if (!write_all(out, &pending)) return kCaptureWriteFailed;
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(out, start, nullptr, FILE_BEGIN)) return kCaptureWriteFailed;
  return 0;
}

// The file was opened to be deleted on close; deleting it by name as well
// covers a file system that ignores that.
void platform_discard_temp_file(const std::string& name) {
  if (!name.empty()) DeleteFileA(name.c_str());
}

int platform_read_to_end(const PlatformFile& file, std::string* bytes) {
  char block[kConsoleBlockBytes];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(handle_of(file), block, sizeof block, &got, nullptr)) return -1;
    if (got == 0) return 0;
    try {
      bytes->append(block, got);
    } catch (const std::bad_alloc&) {
      return -1;  // larger than memory allows
    }
  }
}
