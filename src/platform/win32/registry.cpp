// The settings key below HKEY_LOCAL_MACHINE over advapi32. Keys stay open
// until the process ends.
#include <windows.h>

#include "platform/platform.h"

namespace {

HKEY hkey_of(const RegistryKey& key) { return reinterpret_cast<HKEY>(key.handle); }

}  // namespace

int registry_open_key(const char* subkey, RegistryKey* key) {
  HKEY h = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, KEY_READ, &h) != ERROR_SUCCESS) return -1;
  key->path = subkey;
  key->handle = reinterpret_cast<std::uintptr_t>(h);
  return 0;
}

int registry_create_key(const char* subkey, RegistryKey* key) {
  HKEY h = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                      nullptr, &h, &disposition) != ERROR_SUCCESS) {
    return -1;
  }
  key->path = subkey;
  key->handle = reinterpret_cast<std::uintptr_t>(h);
  return 0;
}

int registry_query_value(const RegistryKey& key, const char* name, std::uint32_t* type,
                         unsigned char* data, std::uint32_t* size) {
  DWORD value_type = 0;
  DWORD value_size = *size;
  if (RegQueryValueExA(hkey_of(key), name, nullptr, &value_type, data, &value_size) !=
      ERROR_SUCCESS) {
    return -1;
  }
  *type = value_type;
  *size = value_size;
  return 0;
}

int registry_set_value(const RegistryKey& key, const char* name, std::uint32_t type,
                       const unsigned char* data, std::uint32_t size) {
  return RegSetValueExA(hkey_of(key), name, 0, type, data, size) == ERROR_SUCCESS ? 0 : -1;
}
