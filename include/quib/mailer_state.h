// The state of one run of the mailer, and the values of the run beside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The stored settings are registry strings of at most 255 characters and
// their NUL; the same limit holds for -server and -install values.
constexpr std::size_t kServerBytes = 256;
constexpr std::size_t kSenderBytes = 256;
// The size handed to gensock_gethostname.
constexpr std::size_t kLocalHostBytes = 1024;

// Opaque connection handle of the socket library (a 32-bit value).
using ConnectionHandle = std::uint32_t;

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
