// The log file of -log over kernel32 and advapi32: appended to, never
// truncated, owner only.
#include <windows.h>
// sddl.h needs windows.h first.
#include <sddl.h>

#include "platform/platform.h"

namespace {

// A protected DACL with one entry: full access for the file's owner
// (OWNER RIGHTS), nobody else. Used only when the file is created.
const char kOwnerOnly[] = "D:P(A;;FA;;;OW)";

// What the open handle is: 0 for a file quib may write its log to. A
// device (CON, NUL), a pipe or a reparse point (a symbolic link, a
// junction) is refused.
int log_target_check(HANDLE h) {
  if (GetFileType(h) != FILE_TYPE_DISK) return kLogNotFile;
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(h, &info)) return kLogNotOpened;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return kLogLink;
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? kLogNotFile : 0;
}

}  // namespace

// With FILE_APPEND_DATA alone each WriteFile lands at the end of the file,
// whoever else appends meanwhile.
int platform_open_log(const char* name, PlatformFile* log) {
  SECURITY_ATTRIBUTES owner_only = {sizeof owner_only, nullptr, FALSE};
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorA(kOwnerOnly, SDDL_REVISION_1, &descriptor,
                                                           nullptr)) {
    owner_only.lpSecurityDescriptor = descriptor;
  }
  HANDLE h =
      CreateFileA(name, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, &owner_only,
                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  LocalFree(descriptor);
  if (h == INVALID_HANDLE_VALUE) return kLogNotOpened;
  const int refusal = log_target_check(h);
  if (refusal != 0) {
    CloseHandle(h);
    return refusal;
  }
  log->handle = reinterpret_cast<std::intptr_t>(h);
  return 0;
}

void platform_append_log(const PlatformFile& log, const char* data, std::size_t length) {
  if (log.handle == -1) return;
  DWORD written = 0;
  WriteFile(reinterpret_cast<HANDLE>(log.handle), data, static_cast<DWORD>(length), &written,
            nullptr);
}
