#include "cli/settings/settings_store.h"

#include "platform/platform.h"
#include "quib/console.h"
#include "quib/mailer_state.h"

namespace {

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

static_assert(kServerBytes == kSettingBytes && kSenderBytes == kSettingBytes,
              "a setting is read into its buffer whole");

// Whether the key failed for the first value. Each value opens the key anew;
// a key that fails only for the second one (taken away in between) counts as
// that value's failure, as when one open key served both.
bool key_failed(int result, const Setting& setting) {
  return result == kSettingKeyFailed && &setting == &kSettings[0];
}

}  // namespace

int load_settings() {
  for (const Setting& setting : kSettings) {
    int result = platform_read_setting(setting.value_name, setting.buffer());
    if (key_failed(result, setting)) {
      say("Failed to open registry key for Quib\n");
      return kLoadFailed;
    }
    if (result != 0) {
      say(setting.read_failure);
      return kLoadFailed;
    }
  }
  return 0;
}

int save_settings() {
  for (const Setting& setting : kSettings) {
    int result = platform_write_setting(setting.value_name, setting.buffer());
    if (key_failed(result, setting)) {
      say("Error in creating quib key in the registry\n");
      return kSaveKeyFailed;
    }
    if (result != 0) {
      say(setting.write_failure);
      return kSaveValueFailed;
    }
  }
  return 0;
}
