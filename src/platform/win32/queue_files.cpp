// The queue's folder and files over kernel32 and advapi32: folders with a
// DACL for the owner, SYSTEM and Administrators, files written through a
// temporary name and FlushFileBuffers, locks (LockFileEx) that go with the
// handle.
#include <windows.h>
// sddl.h needs windows.h first.
#include <sddl.h>

#include <algorithm>
#include <cstdlib>

#include "platform/platform.h"

namespace {

// Protected: nothing inherited from the parent; inherited by what is made inside.
const char kPrivateFolder[] = "D:P(A;OICI;FA;;;OW)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

std::string reason(const char* what) {
  return std::string(what) + ": Windows error " + std::to_string(GetLastError());
}

HANDLE handle_of(const PlatformFile& file) { return reinterpret_cast<HANDLE>(file.handle); }

bool write_all(HANDLE h, const char* data, std::size_t length) {
  while (length > 0) {
    const DWORD chunk = length > (1u << 30) ? (1u << 30) : static_cast<DWORD>(length);
    DWORD written = 0;
    if (!WriteFile(h, data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    length -= written;
  }
  return true;
}

}  // namespace

int platform_queue_dir(std::string* dir) {
  const char* named = std::getenv("QUIB_QUEUE_DIR");
  const char* local = std::getenv("LOCALAPPDATA");
  if (named != nullptr && named[0] != '\0') {
    *dir = named;
  } else if (local != nullptr && local[0] != '\0') {
    *dir = std::string(local) + "\\Quib\\queue";
  } else {
    return -1;
  }
  return 0;
}

char platform_path_separator() { return '\\'; }

int platform_make_private_folder(const std::string& dir, std::string* why) {
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorA(kPrivateFolder, SDDL_REVISION_1,
                                                           &descriptor, nullptr)) {
    attributes.lpSecurityDescriptor = descriptor;
  }
  for (std::size_t at = dir.find_first_of("\\/", 3); at != std::string::npos;
       at = dir.find_first_of("\\/", at + 1)) {
    CreateDirectoryA(dir.substr(0, at).c_str(), &attributes);
  }
  const BOOL made = CreateDirectoryA(dir.c_str(), &attributes);
  const DWORD error = GetLastError();
  LocalFree(descriptor);
  if (!made && error != ERROR_ALREADY_EXISTS) {
    *why = dir + ": Windows error " + std::to_string(error);
    return -1;
  }
  const DWORD kind = GetFileAttributesA(dir.c_str());
  if (kind == INVALID_FILE_ATTRIBUTES || (kind & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    *why = dir + " is not a folder";
    return -1;
  }
  return 0;
}

int platform_store_durably(const std::string& tmp_path, const std::string& path,
                           const std::string& head, const char* tail, std::size_t tail_length,
                           std::string* why) {
  HANDLE h = CreateFileA(tmp_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *why = reason(tmp_path.c_str());
    return -1;
  }
  const char* failed = nullptr;
  if (!write_all(h, head.data(), head.size()) || !write_all(h, tail, tail_length)) {
    failed = "writing";
  } else if (!FlushFileBuffers(h)) {
    failed = "flushing";
  }
  if (failed != nullptr) *why = reason(failed);
  CloseHandle(h);
  if (failed == nullptr && !MoveFileExA(tmp_path.c_str(), path.c_str(),
                                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    *why = reason(failed = "renaming");
  }
  if (failed != nullptr) {
    DeleteFileA(tmp_path.c_str());
    return -1;
  }
  return 0;
}

int platform_move_durably(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
             ? 0
             : -1;
}

int platform_remove_file(const std::string& path) { return DeleteFileA(path.c_str()) ? 0 : -1; }

int platform_list_files(const std::string& dir, std::vector<std::string>* names) {
  names->clear();
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((dir + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : -1;
  }
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names->push_back(found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  std::sort(names->begin(), names->end());
  return 0;
}

int platform_open_locked(const std::string& path, PlatformFile* file) {
  // Shared for deletion and renaming, so that the holder can remove or
  // replace the entry while it is open.
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_ACCESS_DENIED ? kEntryGone : -1;
  }
  OVERLAPPED whole = {};
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                  &whole)) {
    CloseHandle(h);
    return kLockBusy;
  }
  // The name must still lead to this file (another flush may have sent and
  // replaced or removed it before the lock was had).
  BY_HANDLE_FILE_INFORMATION held;
  if (!GetFileInformationByHandle(h, &held) || held.nNumberOfLinks == 0 ||
      GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    CloseHandle(h);
    return kEntryGone;
  }
  file->handle = reinterpret_cast<std::intptr_t>(h);
  return 0;
}

int platform_map_file(const PlatformFile& file, std::size_t length, MappedView* view) {
  HANDLE mapping = CreateFileMappingA(handle_of(file), nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) return -1;
  void* data = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, length);
  if (data == nullptr) {
    CloseHandle(mapping);
    return -1;
  }
  view->data = static_cast<const char*>(data);
  view->length = length;
  view->mapping = reinterpret_cast<std::intptr_t>(mapping);
  return 0;
}

void platform_unmap_file(MappedView* view) {
  if (view->data != nullptr) UnmapViewOfFile(view->data);
  if (view->mapping != 0) CloseHandle(reinterpret_cast<HANDLE>(view->mapping));
  *view = MappedView{};
}

std::string platform_absolute_path(const std::string& path) {
  char full[MAX_PATH];
  const DWORD length = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
  return length == 0 || length >= MAX_PATH ? path : std::string(full, length);
}
