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

// Reads (or, with save, writes) each setting: 0, or the status after the
// message. Each value opens the key anew; a key that fails only for the
// second one (taken away in between) counts as that value's failure, as
// when one open key served both.
int each_setting(bool save) {
  for (const Setting& setting : kSettings) {
    const int result = save ? platform_write_setting(setting.value_name, setting.buffer())
                            : platform_read_setting(setting.value_name, setting.buffer());
    if (result == kSettingKeyFailed && &setting == &kSettings[0]) {
      say(save ? "Error in creating quib key in the registry\n"
               : "Failed to open registry key for Quib\n");
      return save ? kSaveKeyFailed : kLoadFailed;
    }
    if (result != 0) {
      say(save ? setting.write_failure : setting.read_failure);
      return save ? kSaveValueFailed : kLoadFailed;
    }
  }
  return 0;
}

}  // namespace

int load_settings() { return each_setting(false); }

int save_settings() { return each_setting(true); }
