// The time, random bytes and host name that a Message-ID is made of.
#include <windows.h>
// After windows.h, which it needs.
#include <wincrypt.h>

#include <ctime>

#include "platform/fallback_random.h"
#include "platform/platform.h"

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
  fill_fallback_random(buffer, length, GetCurrentProcessId());
}

// The DNS name with its domain when the machine has one, so that a
// Message-ID can carry it.
std::string platform_host_name() {
  char name[256] = {};
  DWORD size = sizeof name;
  if (!GetComputerNameExA(ComputerNameDnsFullyQualified, name, &size) || name[0] == '\0') {
    return "localhost";
  }
  return name;
}
