#include "cli/run_log.h"

#include <string>

#include "cli/run_options.h"
#include "message/header_block.h"
#include "platform/platform.h"
#include "quib/console.h"
#include "quib/exit_status.h"
#include "quib/mailer_state.h"
#include "smtp/transcript.h"

namespace {

// -pass's value: the opening line shows this instead.
const char kHidden[] = "[credentials hidden]";

// A number's text: an exit status's meaning, a log file's refusal.
struct NumberText {
  int number;
  const char* text;
};

const NumberText kMeanings[] = {
    {kExitSent, "the server accepted the message"},
    {kExitUsage, "usage text"},
    {kExitNoMessageFile, "the message file does not exist"},
    {kExitCantOpen, "the message file cannot be opened for reading"},
    {kExitNotDiskFile, "the message file is not a disk file"},
    {kExitReadFailed, "reading the message file failed"},
    {kExitInstallCount, "-install with the wrong number of arguments"},
    {kExitNoServerOrSender, "nothing sent"},
    {kExitTempFile, "console input could not be captured"},
    {kExitQueued, "queued: the message will be sent by quib -flush"},
    {kExitSomeRefused, "sent, but some recipients were refused"},
    {kExitSmtpFailed, "the SMTP dialogue failed"},
};

// An argument as a shell would take it back: in double quotes when it is
// empty or holds a blank or a quote.
std::string shown_argument(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"'") == std::string::npos) return argument;
  std::string quoted = "\"";
  for (char c : argument) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

std::string shown_command_line(int argc, const char* const* argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    const bool secret = i > 0 && platform_compare(argv[i - 1], "-pass") == 0;
    if (i > 0) line += ' ';
    line += secret ? kHidden : shown_argument(argv[i]);
  }
  return line;
}

// "Wed, 09 Dec 2026 01:47:25 +0100", as the Date line has it.
std::string local_date_and_time() {
  LocalTime time;
  ZoneRecord zone;
  int period = kPeriodStandard;
  platform_local_time(&time, &zone, &period);
  std::string date = format_date_header(time, zone, period);
  const std::string::size_type begin = date.find(' ') + 1;
  return date.substr(begin, date.size() - 2 - begin);
}

// What follows the name when a log file is refused; a plain failure to open
// adds nothing.
const NumberText kLogRefusals[] = {
    {kLogLink, " (a symbolic link)"},
    {kLogNotFile, " (not a regular file)"},
    {kLogOtherOwner, " (the file belongs to another user)"},
};

}  // namespace

std::optional<int> open_run_log(int argc, const char* const* argv) {
  const int refusal = transcript_open(g_options.debug != 0, g_options.log_file);
  if (refusal != 0) {
    say(std::string("cannot open the log file ") + g_options.log_file);
    for (const NumberText& entry : kLogRefusals) {
      if (entry.number == refusal) say(entry.text);
    }
    say(": aborting, nothing sent\n");
    return kExitNoServerOrSender;
  }
  transcript_event("quib " QUIB_VERSION ", " + local_date_and_time() + ": " +
                   shown_command_line(argc, argv));
  return std::nullopt;
}

void close_run_log(int status) {
  const char* meaning = "";
  for (const NumberText& entry : kMeanings) {
    if (entry.number == status) meaning = entry.text;
  }
  transcript_event("exit status " + std::to_string(status) + ": " + meaning);
  transcript_close();
}
