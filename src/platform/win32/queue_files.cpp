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
#include "platform/win32/owner_and_dacl.h"

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

// What lets a holder put, replace or remove files in a folder, or change who may.
const DWORD kFolderWriteRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                                 WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// Whether the process's user is sid.
bool is_current_user(PSID sid) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  char buffer[256];
  DWORD size = 0;
  const BOOL got = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size);
  CloseHandle(token);
  return got && EqualSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, sid);
}

// An existing folder must belong to the user (or SYSTEM or Administrators)
// and its DACL grant no write access to anyone but the owner, SYSTEM and
// Administrators. A null DACL lets everyone in.
bool closed_to_others(const std::string& dir) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!read_owner_and_dacl(dir, &owner, &dacl, &descriptor)) return false;
  bool closed =
      owner != nullptr && dacl != nullptr && (is_current_user(owner) || is_trusted(owner));
  for (DWORD i = 0; closed && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) {
      closed = false;
      break;
    }
    const ACE_HEADER* header = static_cast<const ACE_HEADER*>(ace);
    const bool grants = header->AceType == ACCESS_ALLOWED_ACE_TYPE ||
                        header->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
    if (!grants || (header->AceFlags & INHERIT_ONLY_ACE) != 0) {
      continue;  // a denial only narrows; an inherit-only entry is for what is made inside
    }
    // Both kinds lay out the mask and the SID alike.
    const ACCESS_ALLOWED_ACE* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    if ((allowed->Mask & kFolderWriteRights) != 0 && !EqualSid(sid, owner) && !is_trusted(sid) &&
        !IsWellKnownSid(sid, WinCreatorOwnerRightsSid)) {
      closed = false;
    }
  }
  LocalFree(descriptor);
  return closed;
}

// Renames from to `to`. A file at `to` that is open (an entry a flush holds
// and maps) cannot be replaced: it is renamed aside and deleted (it goes
// when its holder closes it). A crash between the two renames leaves the
// entry only as `to`.old, which the next listing puts back.
bool replace_file(const std::string& from, const std::string& to) {
  const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
  if (MoveFileExA(from.c_str(), to.c_str(), flags)) return true;
  const std::string aside = to + ".old";
  if (!MoveFileExA(to.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING)) return false;
  if (!MoveFileExA(from.c_str(), to.c_str(), flags)) {
    MoveFileExA(aside.c_str(), to.c_str(), 0);
    return false;
  }
  DeleteFileA(aside.c_str());
  return true;
}

// Whether path leads to the file that h holds.
bool same_file(HANDLE h, const std::string& path) {
  HANDLE named =
      CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (named == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION held;
  BY_HANDLE_FILE_INFORMATION found;
  const bool same =
      GetFileInformationByHandle(h, &held) && GetFileInformationByHandle(named, &found) &&
      held.nNumberOfLinks > 0 && held.dwVolumeSerialNumber == found.dwVolumeSerialNumber &&
      held.nFileIndexHigh == found.nFileIndexHigh && held.nFileIndexLow == found.nFileIndexLow;
  CloseHandle(named);
  return same;
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
  if (!closed_to_others(dir)) {
    *why =
        dir + " can be written by others (let only its owner, SYSTEM and Administrators write it)";
    return kFolderOpenToOthers;
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
  if (failed == nullptr && !replace_file(tmp_path, path)) *why = reason(failed = "renaming");
  if (failed != nullptr) {
    DeleteFileA(tmp_path.c_str());
    return -1;
  }
  return 0;
}

int platform_move_durably(const std::string& from, const std::string& to) {
  return replace_file(from, to) ? 0 : -1;
}

int platform_remove_file(const std::string& path) {
  // Renamed first: a deleted file that a flush still holds keeps its name
  // until closed, and another flush could take it up.
  const std::string gone = path + ".gone";
  if (!MoveFileExA(path.c_str(), gone.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    return DeleteFileA(path.c_str()) ? 0 : -1;
  }
  DeleteFileA(gone.c_str());
  return 0;
}

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
  // An entry set aside by a rewrite that a crash cut short (replace_file)
  // goes back under its name; a rewrite under way puts its own in place.
  const std::string kAside = ".old";
  for (const std::string& name : std::vector<std::string>(*names)) {
    if (name.size() <= kAside.size() ||
        name.compare(name.size() - kAside.size(), kAside.size(), kAside) != 0) {
      continue;
    }
    const std::string stem = name.substr(0, name.size() - kAside.size());
    if (std::binary_search(names->begin(), names->end(), stem)) continue;
    if (MoveFileExA((dir + "\\" + name).c_str(), (dir + "\\" + stem).c_str(),
                    MOVEFILE_WRITE_THROUGH)) {
      names->insert(std::lower_bound(names->begin(), names->end(), stem), stem);
    }
  }
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
  if (!same_file(h, path)) {
    CloseHandle(h);
    return kEntryGone;
  }
  file->handle = reinterpret_cast<std::intptr_t>(h);
  return 0;
}

std::string platform_absolute_path(const std::string& path) {
  char full[MAX_PATH];
  const DWORD length = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
  return length == 0 || length >= MAX_PATH ? path : std::string(full, length);
}
