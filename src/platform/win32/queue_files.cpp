// The queue's folder and files over kernel32 and advapi32: folders with a
// DACL for the owner, SYSTEM and Administrators, files written through a
// temporary name and FlushFileBuffers, locks (LockFileEx) that go with the
// handle.
#include <windows.h>
// sddl.h and wincrypt.h need windows.h first.
#include <sddl.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "platform/platform.h"

namespace {

// Protected: nothing inherited from the parent; inherited by what is made inside.
const char kPrivateFolder[] = "D:P(A;OICI;FA;;;OW)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

std::string reason(const char* what) {
  return std::string(what) + ": Windows error " + std::to_string(GetLastError());
}

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
                           const std::string& head, const PlatformTail& tail, std::string* why) {
  HANDLE h = CreateFileA(tmp_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *why = reason(tmp_path.c_str());
    return -1;
  }
  const char* failed = nullptr;
  const char* block = nullptr;
  std::size_t length = 0;
  int got = write_all(h, head.data(), head.size()) ? 1 : -2;
  while (got == 1 && (got = tail.next(tail.context, &block, &length)) == 1) {
    if (!write_all(h, block, length)) got = -2;
  }
  if (got == -2) {
    failed = "writing";
  } else if (got < 0) {
    failed = "";
    *why = "the message text could not be read";
  } else if (!FlushFileBuffers(h)) {
    failed = "flushing";
  }
  if (failed != nullptr && failed[0] != '\0') *why = reason(failed);
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

std::int64_t platform_now_seconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

void platform_random_bytes(void* buffer, std::size_t length) {
  HCRYPTPROV provider = 0;
  if (CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL,
                           CRYPT_VERIFYCONTEXT | CRYPT_SILENT)) {
    const BOOL got =
        CryptGenRandom(provider, static_cast<DWORD>(length), static_cast<BYTE*>(buffer));
    CryptReleaseContext(provider, 0);
    if (got) return;
  }
  unsigned long long seed = static_cast<unsigned long long>(std::time(nullptr)) ^
                            (static_cast<unsigned long long>(GetCurrentProcessId()) << 32);
  unsigned char* out = static_cast<unsigned char*>(buffer);
  for (std::size_t i = 0; i < length; ++i) {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    out[i] = static_cast<unsigned char>(seed >> 56);
  }
}

std::string platform_host_name() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  if (!GetComputerNameA(name, &size) || name[0] == '\0') return "localhost";
  return name;
}

std::string platform_absolute_path(const std::string& path) {
  char full[MAX_PATH];
  const DWORD length = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
  return length == 0 || length >= MAX_PATH ? path : std::string(full, length);
}
