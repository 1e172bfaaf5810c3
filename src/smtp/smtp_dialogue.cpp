#include "smtp/smtp_dialogue.h"

#include <string>
#include <vector>

#include "common/ascii.h"
#include "quib/console.h"
#include "quib/mailer_state.h"
#include "smtp/esmtp.h"
#include "smtp/sasl.h"
#include "smtp/smtp_login.h"
#include "smtp/socket_library.h"
#include "smtp/transcript.h"

namespace {

constexpr int kCodeGreeting = 220;
constexpr int kCodeOk = 250;
constexpr int kCodeStartData = 354;
// What a server that knows no EHLO answers it with (RFC 5321 4.2.4).
constexpr int kCodeUnknownCommand = 500;
constexpr int kCodeNotImplemented = 502;

// How long a whole reply may take, from the moment quib starts waiting for
// it (RFC 5321 4.5.3.2; HELO waits as long as the greeting). A library that
// does not take such limits waits as long as it waits.
constexpr int kMinuteMs = 60 * 1000;
constexpr int kGreetingMs = 5 * kMinuteMs;
constexpr int kMailMs = 5 * kMinuteMs;  // MAIL and RCPT
constexpr int kDataMs = 2 * kMinuteMs;
constexpr int kEndOfDataMs = 10 * kMinuteMs;
// After a failed send the end marker never went out: no verdict can come,
// only a drop or a refusal already on its way.
constexpr int kAfterFailedSendMs = 5 * 1000;

constexpr char kRecipientSeparators[] = " ,\n\t\r";

const char kServerError[] = "SMTP server error";
const char kSenderRefused[] =
    "The mail server doesn't like the sender name,\nhave you set your mail address correctly?";
const char kDataRefused[] = "Mail server error accepting message data";
const char kMessageRefused[] = "Message not accepted by server";
const char kNoSmtpUtf8[] =
    "The mail server does not offer SMTPUTF8, which an address with bytes above 127 needs: "
    "aborting, nothing sent";
const char kNo8BitMimeForBody[] =
    "The mail server does not offer 8BITMIME, which the 8-bit body needs: aborting, nothing sent";
const char kNoDsn[] = "The mail server does not offer DSN: the message goes without -dsn\n";
const char kNoneAccepted[] = "The mail server accepted none of the recipients";

// Sends the command (when not empty), reads the reply within limit_ms and
// aborts with `refusal` unless its code is `expected`. 0, or -1 after the abort.
int exchange(DialogueStep* at, const std::string& command, int expected, const std::string& refusal,
             int limit_ms) {
  if (!command.empty()) smtp_send(at, command);
  if (smtp_read_reply(at, limit_ms) == expected) return 0;
  smtp_abort(at, refusal);
  return -1;
}

// Nothing is pipelined, so bytes that are already waiting when the text is
// about to go out are a reply that came too early (a "250" sent with the
// "354"); they answer nothing. Only a library that can tell without
// waiting is asked.
bool reply_arrived_early() {
  if (!socket_library_can(GENSOCK_CAN_POLL)) return false;
  char ch = 0;
  return g_gensock.getchar(g_state.connection, GENSOCK_WAIT_POLL, &ch) == 0;
}

// One RCPT per non-empty element of the list; an empty element (two
// separators in a row, or one at either end) sends nothing. parameters
// follow each address.
int send_recipients(const std::string& recipients, const std::string& parameters, bool skip_refused,
                    SmtpSession* session) {
  DialogueStep* at = &session->step;
  std::size_t begin = recipients.find_first_not_of(kRecipientSeparators);
  bool accepted = false;
  while (begin != std::string::npos) {
    std::size_t end = recipients.find_first_of(kRecipientSeparators, begin);
    std::string name = recipients.substr(begin, end == std::string::npos ? end : end - begin);
    std::string refusal = "The mail server doesn't like the name " + name +
                          ".\nHave you set the 'To: ' field correctly?";
    const std::string command = "RCPT To: <" + name + ">" + parameters + "\r\n";
    if (!skip_refused) {
      if (exchange(at, command, kCodeOk, refusal, kMailMs) != 0) return -1;
    } else {
      smtp_send(at, command);
      const int code = smtp_read_reply(at, kMailMs);
      if (code < 0) {
        smtp_abort(at, refusal);
        return -1;
      }
      if (code == kCodeOk) {
        accepted = true;
      } else {  // printed with its code, kept
        say(name + ": refused by the mail server with " + std::to_string(code) + "\n");
        session->refused.push_back(name);
      }
    }
    begin = recipients.find_first_not_of(kRecipientSeparators, end);
  }
  if (accepted || session->refused.empty()) return 0;
  smtp_abort(at, kNoneAccepted);
  return -1;
}

// EHLO, falling back to HELO once when the server knows no EHLO and
// neither the login nor an international address needs the extensions.
int extended_hello(bool international, const SmtpLogin* login, SmtpSession* session) {
  std::vector<std::string> reply;
  smtp_send(&session->step, std::string("EHLO ") + g_state.local_host + "\r\n");
  const int code = smtp_read_reply(&session->step, kGreetingMs, &reply);
  if (code == kCodeOk) session->server_offers = offered_extensions(reply);
  if (login != nullptr) return smtp_log_in(*login, code, reply, &session->step);
  if (code == kCodeOk) return 0;
  if (international || (code != kCodeUnknownCommand && code != kCodeNotImplemented)) {
    smtp_abort(&session->step, kServerError);
    return -1;
  }
  transcript_event("EHLO refused: HELO instead, without extensions");
  const std::string helo = std::string("HELO ") + g_state.local_host + "\r\n";
  return exchange(&session->step, helo, kCodeOk, kServerError, kGreetingMs);
}

// Loads the socket library, connects to g_state.smtp_server on "smtp" (on "25" after 4014)
// and asks for the local host name. 0, or -1 after a printed failure (nothing is undone).
int smtp_connect(DialogueStep* at) {
  std::string why;
  if (load_socket_library(&why) != 0) {
    smtp_name_step(at, "loading the socket library");
    at->reason = transcript_shown(why);
    at->failed = true;
    return -1;
  }
  transcript_event(std::string("connecting to ") + g_state.smtp_server + " (service smtp)");
  smtp_note_step(at, std::string("connecting to ") + g_state.smtp_server);
  int code = g_gensock.connect(g_state.smtp_server, "smtp", &g_state.connection);
  if (code == GENSOCK_ERR_RESOLVE_SERVICE) {
    transcript_event("the service smtp does not resolve: trying 25");
    code = g_gensock.connect(g_state.smtp_server, "25", &g_state.connection);
  }
  const char* call = "gensock_connect";
  if (code == 0) {
    transcript_event("connected");
    smtp_name_step(at, "asking for the local host name");
    call = "gensock_gethostname";
    code = g_gensock.gethostname(g_state.local_host, static_cast<int>(kLocalHostBytes));
  }
  if (code != 0) {
    at->failed = true;
    return smtp_transport_failed(at, call, code);
  }
  // The name sent with HELO keeps only what a host name may hold, so that it cannot end the
  // command early.
  char* kept = g_state.local_host;
  for (const char* c = g_state.local_host; *c != '\0'; ++c) {
    if (is_host_name_char(*c)) *kept++ = *c;
  }
  *kept = '\0';
  smtp_note_step(at, "the greeting");
  return 0;
}

}  // namespace

int smtp_open_session(const char* login, const std::string& recipients, const SmtpLogin* with,
                      const DeliveryOptions& options, SmtpSession* session) {
  DialogueStep* at = &session->step;
  if (smtp_connect(at) != 0) return -1;
  if (with != nullptr) {
    if (int refused = smtp_check_login_peer(g_state.smtp_server, at)) return refused;
  }
  // With starttls:// the library read the greeting before its STARTTLS and
  // hands it on now.
  ServerEndpoint endpoint;
  transcript_replaying(parse_server_name(g_state.smtp_server, &endpoint) &&
                       endpoint.transport == ServerTransport::kStarttls);
  const int greeted = exchange(at, "", kCodeGreeting, kServerError, kGreetingMs);
  transcript_replaying(false);
  if (greeted != 0) return -1;
  session->server_offers = 0;
  const bool international = is_international(login) || is_international(recipients);
  if (with != nullptr || options.dsn[0] != '\0' || options.eight_bit || international) {
    return extended_hello(international, with, session);
  }
  const std::string helo = std::string("HELO ") + g_state.local_host + "\r\n";
  return exchange(at, helo, kCodeOk, kServerError, kGreetingMs);
}

int smtp_reset(SmtpSession* session) {
  return exchange(&session->step, "RSET\r\n", kCodeOk, kServerError, kMailMs);
}

int smtp_start_mail(const char* login, const std::string& recipients, bool eight_bit_body,
                    const std::string& message_id, const DeliveryOptions& options,
                    SmtpSession* session) {
  DialogueStep* at = &session->step;
  const bool international = is_international(login) || is_international(recipients);
  if (international && !(session->server_offers & kOffersSmtpUtf8)) {
    smtp_abort(at, kNoSmtpUtf8, "the server does not offer SMTPUTF8");
    return -1;
  }
  if (eight_bit_body && !(session->server_offers & kOffers8BitMime)) {
    smtp_abort(at, kNo8BitMimeForBody, "the server does not offer 8BITMIME");
    return -1;
  }
  const bool dsn = options.dsn[0] != '\0' && (session->server_offers & kOffersDsn);
  if (options.dsn[0] != '\0' && !dsn) say(kNoDsn);
  const std::string envid(envid_of(message_id));
  const std::string mail = std::string("MAIL From:<") + login + ">" +
                           mail_parameters(eight_bit_body, international, dsn, envid) + "\r\n";
  if (exchange(at, mail, kCodeOk, kSenderRefused, kMailMs) != 0) return -1;
  const std::string notify = dsn ? " NOTIFY=" + dsn_notify(options.dsn) : "";
  if (send_recipients(recipients, notify, options.skip_refused, session) != 0) return -1;
  if (exchange(at, "DATA\r\n", kCodeStartData, kDataRefused, kDataMs) != 0) return -1;
  if (!reply_arrived_early()) return 0;
  smtp_abort(at, kDataRefused, "a reply arrived before the message text was sent");
  return -1;
}

int smtp_finish_message(TextSource* source, SmtpSession* session) {
  DialogueStep* at = &session->step;
  smtp_note_step(at, "the message text");
  TransmitCounts counts;
  int sent = send_message_from(g_state.connection, source, transcript_on() ? &counts : nullptr);
  transcript_message_text(counts.bytes, counts.lines, counts.longest_line, counts.doubled_dots);
  if (sent == kSourceFailed) {
    // Without the end marker the server keeps nothing of what it read.
    transcript_event("the message text stopped after " + std::to_string(counts.bytes) +
                     " bytes: the rest could not be read; closing without the end marker");
    g_gensock.close(g_state.connection);
    unload_socket_library();
    return kSourceFailed;
  }
  if (sent != 0) transcript_event("sending the message text failed: error " + std::to_string(sent));
  // Even when sending failed the reply is read: a dropped connection is
  // reported there, and a failed transmission never counts as accepted.
  int code = smtp_read_reply(at, sent == 0 ? kEndOfDataMs : kAfterFailedSendMs);
  if (sent == 0 && code == kCodeOk) return 0;
  smtp_abort(at, kMessageRefused);
  return -1;
}
