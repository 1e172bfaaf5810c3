#include "cli/settings/settings_store.h"

#include <cstdint>
#include <cstring>

#include "platform/platform.h"
#include "quib/console.h"
#include "quib/mailer_state.h"

namespace {

const char kSettingsKey[] = "SOFTWARE\\Wendfield\\Quib";

// One stored setting: its value name, its buffer in g_state and the
// messages printed when it cannot be read or written.
struct Setting {
  const char* value_name;
  char* (*buffer)();
  const char* read_failure;
  const char* write_failure;
};

char* server_buffer() { return g_state.smtp_server; }
char* sender_buffer() { return g_state.sender; }

const Setting kSettings[] = {
    {"SMTP server", server_buffer, "Failed to read SMTP server value from the registry\n",
     "Error in setting SMTP server value in the registry\n"},
    {"Sender", sender_buffer, "Failed to read senders user name from the registry\n",
     "Error in setting sender address value in the registry\n"},
};

static_assert(kServerBytes == kSenderBytes, "both settings share one read size");
// A stored value is read with room for 255 characters and the NUL.
constexpr std::uint32_t kValueBytes = kServerBytes;

// Reads one value into its buffer. The text is the bytes up to the first NUL,
// whatever type the registry reports; a value that holds no NUL at all is
// taken whole, unless its 256 bytes leave no room for the NUL, in which case
// the read fails like one of a longer value. Either way the buffer is written
// only after a successful read, so a failed read leaves it as it was.
int read_setting(const RegistryKey& key, const Setting& setting) {
  unsigned char data[kValueBytes];
  std::uint32_t size = kValueBytes;
  std::uint32_t type = 0;  // received and not looked at
  if (registry_query_value(key, setting.value_name, &type, data, &size) != 0) return -1;
  const void* nul = std::memchr(data, '\0', size);
  std::size_t length = nul ? static_cast<const unsigned char*>(nul) - data : size;
  if (length >= kValueBytes) return -1;
  std::memcpy(setting.buffer(), data, length);
  setting.buffer()[length] = '\0';
  return 0;
}

int write_setting(const RegistryKey& key, const Setting& setting) {
  const char* text = setting.buffer();
  std::uint32_t size = static_cast<std::uint32_t>(std::strlen(text) + 1);  // the NUL is stored
  return registry_set_value(key, setting.value_name, kRegSz,
                            reinterpret_cast<const unsigned char*>(text), size);
}

}  // namespace

int load_settings() {
  RegistryKey key;
  if (registry_open_key(kSettingsKey, &key) != 0) {
    say("Failed to open registry key for Quib\n");
    return kLoadFailed;
  }
  for (const Setting& setting : kSettings) {
    if (read_setting(key, setting) != 0) {
      say(setting.read_failure);
      return kLoadFailed;
    }
  }
  return 0;
}

int save_settings() {
  RegistryKey key;
  if (registry_create_key(kSettingsKey, &key) != 0) {
    say("Error in creating quib key in the registry\n");
    return kSaveKeyFailed;
  }
  for (const Setting& setting : kSettings) {
    if (write_setting(key, setting) != 0) {
      say(setting.write_failure);
      return kSaveValueFailed;
    }
  }
  return 0;
}
