// The state of one run of the mailer, and the values of the run beside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The stored settings are registry strings of at most 255 characters and
// their NUL; the same limit holds for -server and -install values.
constexpr std::size_t kServerBytes = 256;
constexpr std::size_t kSenderBytes = 256;
// The size handed to gensock_gethostname.
constexpr std::size_t kLocalHostBytes = 1024;

// Opaque connection handle of the socket library (a 32-bit value).
using ConnectionHandle = std::uint32_t;

// What the dialogue met at its last step: enough to tell a failure that
// may pass (a 4xx, a lost connection) from a refusal.
struct DialogueStep {
  std::string step;        // the command as shown, or the step under way
  int reply_code = 0;      // the code of the last reply read; 0: none
  std::string reply;       // that reply's last line
  int transport_code = 0;  // the socket library's error; 0: none
  bool may_pass = false;   // a failure before the dialogue that may pass (a token
                           // endpoint out of reach, a -passcmd that failed)
};

struct MailerState {
  int quiet = 0;  // -q: nothing is printed
  int mime = 0;   // -mime: body sent quoted-printable
  char smtp_server[kServerBytes] = {};
  char sender[kSenderBytes] = {};
  const char* login = sender;         // envelope sender (MAIL From)
  const char* from_address = sender;  // the "From:" address
  int from_given = 0;                 // -i was given
  int header_only_body = 0;           // -penguin: the body file ends the header itself
  const char* subject = "";
  const char* to_list = "";
  const char* cc_list = "";
  const char* bcc_list = "";
  std::string recipients;  // envelope recipient list, cleaned and joined
  char local_host[kLocalHostBytes] = {};
  ConnectionHandle connection = 0;
  void* library = nullptr;  // the loaded socket library, or null
  // The transcript of the run (src/smtp/transcript.h).
  int debug = 0;              // -debug: to standard error
  const char* log_file = "";  // -log: appended to this file
  DialogueStep last;          // the step under way and what it met
  DialogueStep failure;       // `last` as it stood when the dialogue failed
  // What modern receivers expect.
  const char* dsn = "";              // -dsn: the NOTIFY value, or empty
  int eight_bit = 0;                 // -8bit: an 8-bit body unencoded where the server allows
  int skip_refused = 0;              // -rcpt-skip-refused
  std::vector<std::string> refused;  // recipients refused under -rcpt-skip-refused
  unsigned server_offers = 0;        // what the EHLO reply offered (smtp/esmtp.h)
};

// The one record of the run.
extern MailerState g_state;

// Argument 1 as typed ("-" for console input); once console input has been
// captured it names the temporary file.
extern const char* message_file;

// Name of the temporary file holding captured console input; non-empty only
// while such a file may exist.
extern std::string temp_file_name;

// Puts every value of the run back as it is when the process starts
// (used by main and by tests that run several command lines in one process).
void reset_run_state();
