// The state of one run of the mailer, and the values of the run beside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class Secret;

// The stored settings are registry strings of at most 255 characters and
// their NUL; the same limit holds for -server and -install values.
constexpr std::size_t kServerBytes = 256;
constexpr std::size_t kSenderBytes = 256;
// The size handed to gensock_gethostname.
constexpr std::size_t kLocalHostBytes = 1024;

// Opaque connection handle of the socket library (a 32-bit value).
using ConnectionHandle = std::uint32_t;

// A header line the user adds (-header).
struct HeaderField {
  std::string name;
  std::string value;
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
  // Attachments and the body's form.
  std::vector<const char*> attachments;  // -attach: the files, in the order given
  int html = 0;                          // -html: the body is text/html
  const char* charset = "";              // -charset: the body's (and header's) character set
  // Logging in: -u, -pass, -auth.
  const char* user = nullptr;  // -u: log in as this user; null: no login (HELO)
  std::string secret;          // the password or token once found; wiped once sent
  const char* auth = "";       // -auth as typed: the mechanism, or empty for the usual
  // The secret's other sources (src/cli/secret_sources.h).
  const char* pass_command = nullptr;  // -passcmd: the command that prints the secret
  const char* oauth_file = nullptr;    // -oauth: the OAuth file
  // Set when the secret is a cached token: puts a new one in place of the
  // refused one in *secret. 0, or -1 once it has said why.
  int (*renew_secret)(Secret* secret) = nullptr;
  // The queue.
  int queue = 0;           // -queue: a message that may go later is stored
  std::string message_id;  // written as Message-ID when not empty
  // What modern receivers expect.
  int want_message_id = 0;                 // -msgid
  std::vector<const char*> typed_headers;  // -header as typed, checked once the line is read
  std::vector<HeaderField> headers;        // -header, in the order given
  std::vector<const char*> embeds;         // -embed: inline files of an HTML body
  // Long sends.
  int progress = 0;  // -progress: a progress line on a terminal's standard error
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
