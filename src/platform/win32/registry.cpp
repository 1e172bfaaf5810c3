// The stored settings in the registry key HKEY_LOCAL_MACHINE\SOFTWARE\Wendfield\Quib,
// over advapi32. Each call opens the key and closes it again.
#include <windows.h>

#include <cstring>

#include "platform/platform.h"

namespace {

const char kSettingsKey[] = "SOFTWARE\\Wendfield\\Quib";

}  // namespace

int platform_read_setting(const char* name, char* text) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return kSettingKeyFailed;
  }
  unsigned char data[kSettingBytes];
  DWORD size = sizeof data;
  DWORD type = 0;  // received and not looked at
  const LONG result = RegQueryValueExA(key, name, nullptr, &type, data, &size);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) return kSettingValueFailed;  // missing, or needs more room
  const void* nul = std::memchr(data, '\0', size);
  const std::size_t length = nul != nullptr ? static_cast<const unsigned char*>(nul) - data : size;
  if (length >= kSettingBytes) return kSettingValueFailed;  // no room left for the NUL
  std::memcpy(text, data, length);
  text[length] = '\0';
  return 0;
}

int platform_write_setting(const char* name, const char* text) {
  HKEY key = nullptr;
  DWORD disposition = 0;  // created or merely opened: either will do
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_WRITE, nullptr, &key, &disposition) != ERROR_SUCCESS) {
    return kSettingKeyFailed;
  }
  const DWORD size = static_cast<DWORD>(std::strlen(text) + 1);  // the NUL is stored
  const LONG result =
      RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), size);
  RegCloseKey(key);
  return result == ERROR_SUCCESS ? 0 : kSettingValueFailed;
}
