// Login secrets on Windows: generic credentials of the Credential Manager
// (advapi32 CredReadA). Windows has no netrc file, and a process cannot ask
// to be kept out of a dump.
#include <windows.h>
// After windows.h, whose types it uses.
#include <wincred.h>

#include <string>

#include "platform/platform.h"

int platform_read_netrc(std::string*, Secret*) { return kSecretNoStore; }

int platform_read_credential(const std::string& target, const std::string& user, Secret* secret) {
  PCREDENTIALA credential = nullptr;
  if (!CredReadA(target.c_str(), CRED_TYPE_GENERIC, 0, &credential)) return kSecretAbsent;
  int result = kSecretAbsent;
  const DWORD size = credential->CredentialBlobSize;
  if (credential->UserName != nullptr && user == credential->UserName && size % 2 == 0 &&
      size > 0) {
    const wchar_t* wide = reinterpret_cast<const wchar_t*>(credential->CredentialBlob);
    const int count = static_cast<int>(size / 2);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, count, nullptr, 0, nullptr, nullptr);
    if (bytes > 0) {
      std::string text(static_cast<std::size_t>(bytes), '\0');
      WideCharToMultiByte(CP_UTF8, 0, wide, count, &text[0], bytes, nullptr, nullptr);
      *secret = Secret::adopt(&text);
      result = 0;
    }
  }
  SecureZeroMemory(credential->CredentialBlob, size);
  CredFree(credential);
  return result;
}

void platform_protect_secrets() {}
