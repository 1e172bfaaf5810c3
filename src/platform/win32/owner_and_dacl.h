// Who owns a file or folder and who may enter it, for the checks of the
// private files and the queue's folder.
#pragma once

#include <windows.h>
// After windows.h, whose types it uses.
#include <aclapi.h>

#include <string>

// Reads path's owner and DACL (null: everyone may enter); both point into
// *descriptor, which the caller frees with LocalFree. True when read.
inline bool read_owner_and_dacl(const std::string& path, PSID* owner, PACL* dacl,
                                PSECURITY_DESCRIPTOR* descriptor) {
  return GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT,
                               OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, owner,
                               nullptr, dacl, nullptr, descriptor) == ERROR_SUCCESS;
}

// SYSTEM (S-1-5-18) or Administrators (S-1-5-32-544).
inline bool is_trusted(PSID sid) {
  return IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
}
