// The one record of the run, the values beside it, and the console.
#include "cli/run_options.h"
#include "platform/platform.h"
#include "quib/console.h"
#include "quib/mailer_state.h"

MailerState g_state;
RunOptions g_options;
const char* message_file = "";
std::string temp_file_name;

void reset_run_state() {
  g_state = MailerState();
  g_options = RunOptions();
  g_state.login = g_state.sender;
  g_state.from_address = g_state.sender;
  message_file = "";
  temp_file_name.clear();
}

void say(std::string_view text) {
  if (!g_state.quiet) platform_write_stdout(text.data(), text.size());
}
