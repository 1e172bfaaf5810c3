// Private files on Windows: the OAuth file is refused when its DACL lets
// anyone but its owner, SYSTEM and Administrators in; its rewrite is a new
// file with such a DACL, renamed over it under a lock held on a file beside.
#include <windows.h>
// After windows.h, whose types it uses.
#include <sddl.h>

#include <string>

#include "platform/platform.h"
#include "platform/win32/owner_and_dacl.h"

namespace {

// True when the DACL grants access to no one but the owner, SYSTEM and
// Administrators.
bool owner_only(PSID owner, PACL dacl) {
  if (dacl == nullptr) return false;  // a null DACL lets everyone in
  bool only = true;
  for (DWORD i = 0; i < dacl->AceCount && only; ++i) {
    void* entry = nullptr;
    if (!GetAce(dacl, i, &entry)) continue;
    const ACE_HEADER* header = static_cast<ACE_HEADER*>(entry);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    const ACCESS_ALLOWED_ACE* ace = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    PSID sid = const_cast<DWORD*>(&ace->SidStart);
    only = ace->Mask == 0 || EqualSid(sid, owner) || is_trusted(sid);
  }
  return only;
}

// A security descriptor granting the current user and SYSTEM alone.
PSECURITY_DESCRIPTOR owner_only_descriptor() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
  char buffer[256];
  DWORD size = 0;
  char* sid_text = nullptr;
  if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size)) {
    ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid_text);
  }
  CloseHandle(token);
  if (sid_text == nullptr) return nullptr;
  const std::string sddl = std::string("D:P(A;;FA;;;") + sid_text + ")(A;;FA;;;SY)";
  LocalFree(sid_text);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                       nullptr);
  return descriptor;
}

HANDLE create_private(const std::string& path, DWORD disposition) {
  SECURITY_ATTRIBUTES attributes{sizeof attributes, owner_only_descriptor(), FALSE};
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                            &attributes, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  LocalFree(attributes.lpSecurityDescriptor);
  return file;
}

}  // namespace

int platform_read_private_file(const std::string& path, Secret* text) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!read_owner_and_dacl(path, &owner, &dacl, &descriptor)) return kSecretAbsent;
  const bool only = owner_only(owner, dacl);
  LocalFree(descriptor);
  if (!only) return kSecretOpenToOthers;
  PlatformFile file;
  if (platform_open_for_reading(path.c_str(), &file) != 0) return kSecretAbsent;
  char block[4096];
  DWORD got = 0;
  BOOL read = FALSE;
  while ((read = ReadFile(reinterpret_cast<HANDLE>(file.handle), block, sizeof block, &got,
                          nullptr)) &&
         got > 0) {
    text->append(std::string_view(block, got));
  }
  SecureZeroMemory(block, sizeof block);
  platform_close_file(&file);
  return read ? 0 : kSecretAbsent;
}

int platform_lock(const std::string& lock_path, PlatformLock* lock) {
  HANDLE file = create_private(lock_path, OPEN_ALWAYS);
  if (file == INVALID_HANDLE_VALUE) return -1;
  OVERLAPPED at{};
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) {
    CloseHandle(file);
    return -1;
  }
  lock->handle = reinterpret_cast<std::intptr_t>(file);
  return 0;
}

void platform_unlock(PlatformLock* lock) {
  if (lock->handle == -1) return;
  CloseHandle(reinterpret_cast<HANDLE>(lock->handle));  // closing gives the lock back
  lock->handle = -1;
}

bool platform_folder_writable(const std::string& path) {
  const std::string probe = path + ".probe";
  HANDLE file = create_private(probe, CREATE_NEW);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  DeleteFileA(probe.c_str());
  return true;
}

int platform_replace_file(const std::string& path, std::string_view text) {
  const std::string temp = path + ".new";
  HANDLE file = create_private(temp, CREATE_ALWAYS);
  if (file == INVALID_HANDLE_VALUE) return -1;
  DWORD written = 0;
  const bool done =
      WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
      written == text.size() && FlushFileBuffers(file);
  CloseHandle(file);
  if (!done || !MoveFileExA(temp.c_str(), path.c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileA(temp.c_str());
    return -1;
  }
  return 0;
}

void platform_sleep_ms(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

void* platform_load_system_library(const char* name) {
  return reinterpret_cast<void*>(LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
}
