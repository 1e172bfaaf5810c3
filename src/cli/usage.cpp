#include "cli/usage.h"

#include "quib/console.h"

// In the option lines the option column is padded so that every colon
// stands in the fifteenth column.
const char* const usage_lines[] = {
    "Quib v1.5: WinNT console utility to mail a file via SMTP",
    "",
    "syntax:",
    "Quib <filename> -t <recipient> [optional switches (see below)]",
    "Quib -install <server addr> <sender's addr> [-q]",
    "Quib -h [-q]",
    "",
    "-install <server addr> <sender's addr>: set's default SMTP server and sender",
    "",
    "<filename>    : file with the message body ('-' for console input, end with ^Z)",
    "-t <recipient>: recipient list (comma separated)",
    "-s <subj>     : subject line",
    "-f <sender>   : overrides the default sender address (must be known to server)",
    "-i <addr>     : a 'From:' address, not necessarily known to the SMTP server.",
    "-c <recipient>: carbon copy recipient list (comma separated)",
    "-b <recipient>: blind carbon copy recipient list (comma separated)",
    "-h            : displays this help.",
    "-mime         : MIME Quoted-Printable Content-Transfer-Encoding.",
    "-q            : supresses *all* output.",
    "-server <addr>: overrides the default SMTP server to be used.",
    "",
    "Note that if the '-i' option is used, <sender> is included in 'Reply-to:'",
    "and 'Sender:' fields in the header of the message.",
};

const std::size_t usage_line_count = sizeof usage_lines / sizeof usage_lines[0];

void print_usage() {
  for (std::size_t i = 0; i < usage_line_count; ++i) {
    say(usage_lines[i]);
    say("\n");
  }
}
