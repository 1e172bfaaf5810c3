#include "smtp/smtp_dialogue.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cli/run_options.h"
#include "common/ascii.h"
#include "quib/console.h"
#include "quib/mailer_state.h"
#include "smtp/esmtp.h"
#include "smtp/sasl.h"
#include "smtp/socket_library.h"
#include "smtp/transcript.h"
#include "smtp/transport_error.h"

namespace {

// A reply line holds at most 512 bytes, its CR LF included (RFC 5321
// 4.5.3.1.5); only so much of a longer line is kept, the rest is read and
// dropped. The code and the continuation mark are taken from the whole line.
constexpr std::size_t kReplyLineBytes = 512;
// Codes whose number would not fit are clamped: any such code is a refusal.
constexpr int kLargestReplyCode = 99999;

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
const char kQuit[] = "QUIT\r\n";
const char kNoSmtpUtf8[] =
    "The mail server does not offer SMTPUTF8, which an address with bytes above 127 needs: "
    "aborting, nothing sent";
const char kNo8BitMimeForBody[] =
    "The mail server does not offer 8BITMIME, which the 8-bit body needs: aborting, nothing sent";
const char kNoDsn[] = "The mail server does not offer DSN: the message goes without -dsn\n";
const char kNoneAccepted[] = "The mail server accepted none of the recipients";

// A reply longer than this in all is no usable reply: a server that keeps
// sending continuation lines (or one endless line) would otherwise hold the
// run for ever, each byte arriving within the read timeout. Real replies are
// a few hundred bytes; a line may hold at most 512.
constexpr std::size_t kReplyLimitBytes = 16u << 20;
// Of a reply's lines a caller keeps only what the login uses: its first
// lines, up to what a refusal shows, and the AUTH, DSN, 8BITMIME and
// SMTPUTF8 lines of an EHLO reply,
// all within a few KiB, so that a reply of millions of short lines costs
// no more memory than a real one.
constexpr std::size_t kKeptLeadingBytes = 2048;
constexpr std::size_t kKeptReplyBytes = 4096;

// A new step: what the last one met is forgotten.
void note_step(std::string_view step) { g_state.last = DialogueStep{std::string(step), 0, "", 0}; }

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The number at the start of one reply line, taken a character at a time so
// that it comes from the whole line, not from what fits the line buffer:
// white space skipped, an optional sign, decimal digits; 0 without digits.
struct ReplyNumber {
  enum Phase { kSpace, kDigits, kDone } phase = kSpace;
  bool negative = false;
  int value = 0;

  void take(char c) {
    if (phase == kSpace) {
      if (is_space(c)) return;
      phase = kDigits;
      if (c == '+' || c == '-') {
        negative = c == '-';
        return;
      }
    }
    if (phase != kDigits) return;
    if (c < '0' || c > '9') {
      phase = kDone;
      return;
    }
    // Codes whose number would not fit are clamped: any such code is a refusal.
    value = value > kLargestReplyCode ? kLargestReplyCode + 1 : value * 10 + (c - '0');
  }
  int code() const {
    int clamped = value > kLargestReplyCode ? kLargestReplyCode + 1 : value;
    return negative ? -clamped : clamped;
  }
};

// Reads one line up to its LF into *line (its first kReplyLineBytes + 2
// bytes, so that a CR LF just past the cap is still seen) and takes its
// number; the first byte is asked for with *wait, the rest with 0. Returns
// the count of characters read (LF included), -1 after a printed transport
// failure, or 0 when the reply has run past *budget bytes.
long read_reply_line(std::string* line, ReplyNumber* number, std::size_t* budget, int* wait) {
  line->clear();
  std::size_t length = 0;
  char ch = 0;
  do {
    if (*budget == 0) return 0;
    int code = g_gensock.getchar(g_state.connection, *wait, &ch);
    *wait = 0;
    if (code != 0) {
      report_transport_error("gensock_getchar", code);
      return -1;
    }
    --*budget;
    if (length < kReplyLineBytes + 2) line->push_back(ch);
    number->take(ch);
    ++length;
  } while (ch != '\n');
  transcript_received(line->data(), line->size(), length);
  return static_cast<long>(length);
}

int send_shown(gensock_handle_t handle, const char* data, unsigned long length,
               std::string_view shown) {
  transcript_sent(shown);
  note_step(shown.substr(0, shown.find_last_not_of("\r\n") + 1));
  int code = g_gensock.put_data(handle, data, length);
  if (code == 0) return 0;
  report_transport_error("gensock_put_data", code);
  return -1;
}

// Where the transcript's last line before the exit status names the step
// that failed and why.
void transcript_failure() { transcript_event(transcript_failure_line()); }

// The line as kept for the caller: without its LF and a CR before it, and
// no longer than kReplyLineBytes.
std::string kept_text(std::string line) {
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.size() > kReplyLineBytes) line.resize(kReplyLineBytes);
  return line;
}

// Sends the command (when not empty), reads the reply within limit_ms and
// aborts with `refusal` unless its code is `expected`. 0, or -1 after the abort.
int exchange(const std::string& command, int expected, const std::string& refusal, int limit_ms) {
  if (!command.empty()) smtp_send(g_state.connection, command.data(), command.size());
  if (smtp_read_reply(limit_ms) == expected) return 0;
  smtp_abort(refusal);
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

// The name sent with HELO keeps only what a host name may hold of what a
// library hands back, so that it cannot end the command early.
void keep_safe_host_name(char* name) {
  char* end =
      std::remove_if(name, name + std::strlen(name), [](char c) { return !is_host_name_char(c); });
  *end = '\0';
}

// A refused RCPT under -rcpt-skip-refused: printed with its code, kept.
void note_refused(const std::string& name, int code) {
  say(name + ": refused by the mail server with " + std::to_string(code) + "\n");
  g_state.refused.push_back(name);
}

// One RCPT per non-empty element of the list; an empty element (two
// separators in a row, or one at either end) sends nothing. parameters
// follow each address.
int send_recipients(const std::string& recipients, const std::string& parameters) {
  std::size_t begin = recipients.find_first_not_of(kRecipientSeparators);
  bool accepted = false;
  while (begin != std::string::npos) {
    std::size_t end = recipients.find_first_of(kRecipientSeparators, begin);
    std::string name = recipients.substr(begin, end == std::string::npos ? end : end - begin);
    std::string refusal = "The mail server doesn't like the name " + name +
                          ".\nHave you set the 'To: ' field correctly?";
    const std::string command = "RCPT To: <" + name + ">" + parameters + "\r\n";
    if (!g_state.skip_refused) {
      if (exchange(command, kCodeOk, refusal, kMailMs) != 0) return -1;
    } else {
      smtp_send(g_state.connection, command.data(), command.size());
      const int code = smtp_read_reply(kMailMs);
      if (code < 0) {
        smtp_abort(refusal);
        return -1;
      }
      if (code == kCodeOk) accepted = true;
      if (code != kCodeOk) note_refused(name, code);
    }
    begin = recipients.find_first_not_of(kRecipientSeparators, end);
  }
  if (accepted || g_state.refused.empty()) return 0;
  smtp_abort(kNoneAccepted);
  return -1;
}

bool envelope_is_international(const char* login, const std::string& recipients) {
  return is_international(login) || is_international(recipients);
}

// EHLO, falling back to HELO once when the server knows no EHLO and
// neither the login nor an international address needs the extensions.
int extended_hello(bool international) {
  std::vector<std::string> reply;
  const std::string ehlo = std::string("EHLO ") + g_state.local_host + "\r\n";
  smtp_send(g_state.connection, ehlo.data(), ehlo.size());
  const int code = smtp_read_reply(kGreetingMs, &reply);
  if (code == kCodeOk) g_state.server_offers = offered_extensions(reply);
  if (g_options.login.user != nullptr) return smtp_log_in(code, reply);
  if (code == kCodeOk) return 0;
  if (international || (code != kCodeUnknownCommand && code != kCodeNotImplemented)) {
    smtp_abort(kServerError);
    return -1;
  }
  transcript_event("EHLO refused: HELO instead, without extensions");
  const std::string helo = std::string("HELO ") + g_state.local_host + "\r\n";
  return exchange(helo, kCodeOk, kServerError, kGreetingMs);
}

// "250-AUTH PLAIN", "250 auth=login": a line the login looks at.
bool is_auth_line(const std::string& line) {
  if (line.size() < 9) return false;
  for (std::size_t i = 0; i < 4; ++i) {
    if ((line[4 + i] & ~0x20) != "AUTH"[i]) return false;
  }
  return line[8] == ' ' || line[8] == '=';
}

// Reads a whole reply: its code, 0 for an endless one, -1 on failure. Of its
// lines *lines keeps what the login uses, and *last gets the last one.
int read_whole_reply(int limit_ms, std::vector<std::string>* lines, std::string* last) {
  std::string line;
  std::size_t budget = kReplyLimitBytes;
  int wait = socket_library_can(GENSOCK_CAN_TIME_REPLIES) ? limit_ms : 0;
  std::size_t kept = 0;
  for (;;) {
    ReplyNumber number;
    long length = read_reply_line(&line, &number, &budget, &wait);
    if (length < 0) return -1;
    if (length == 0) return 0;  // endless: no code of its own
    std::string text = kept_text(line);
    // A line of fewer than four characters, its LF included, is a last line.
    const bool more = length >= 4 && line[3] == '-';
    const bool wanted = is_auth_line(text) || extension_named(text) != 0;
    if ((kept < kKeptLeadingBytes || wanted) && kept + text.size() <= kKeptReplyBytes) {
      kept += text.size();
      lines->push_back(more ? std::move(text) : text);
    }
    if (more) continue;
    *last = std::move(text);
    return number.code();
  }
}

}  // namespace

int smtp_connect() {
  transcript_step("loading the socket library");
  if (load_socket_library() != 0) {
    transcript_failure();
    return -1;
  }
  transcript_event(std::string("connecting to ") + g_state.smtp_server + " (service smtp)");
  transcript_step(std::string("connecting to ") + g_state.smtp_server);
  note_step(std::string("connecting to ") + g_state.smtp_server);
  int code = g_gensock.connect(g_state.smtp_server, "smtp", &g_state.connection);
  if (code == GENSOCK_ERR_RESOLVE_SERVICE) {
    transcript_event("the service smtp does not resolve: trying 25");
    code = g_gensock.connect(g_state.smtp_server, "25", &g_state.connection);
  }
  if (code == 0) {
    transcript_event("connected");
    transcript_step("asking for the local host name");
    code = g_gensock.gethostname(g_state.local_host, static_cast<int>(kLocalHostBytes));
    if (code != 0) report_transport_error("gensock_gethostname", code);
  } else {
    report_transport_error("gensock_connect", code);
  }
  if (code != 0) {
    g_state.failure = g_state.last;
    transcript_failure();
    return -1;
  }
  keep_safe_host_name(g_state.local_host);
  transcript_step("the greeting");
  note_step("the greeting");
  return 0;
}

int smtp_read_reply(int limit_ms, std::vector<std::string>* lines) {
  std::vector<std::string> own;
  if (lines == nullptr) lines = &own;
  lines->clear();
  std::string last;
  const int code = read_whole_reply(limit_ms, lines, &last);
  if (code > 0) {
    g_state.last.reply_code = code;
    g_state.last.reply = std::move(last);
  }
  return code;
}

int smtp_send(gensock_handle_t handle, const char* data, unsigned long length) {
  return send_shown(handle, data, length, std::string_view(data, length));
}

int smtp_send_hidden(const std::string& shown, const std::string& command) {
  return send_shown(g_state.connection, command.data(), command.size(), shown);
}

void smtp_abort(const std::string& message) {
  g_state.failure = g_state.last;
  const std::string failure = transcript_failure_line();  // before QUIT is the last command
  say(message + "\n");
  smtp_quit();  // no reply is waited for
  smtp_disconnect();
  transcript_event(failure);
}

int smtp_open_session(const char* login, const std::string& recipients) {
  if (smtp_connect() != 0) return -1;
  if (g_options.login.user != nullptr) {
    if (int refused = smtp_check_login_peer()) return refused;
  }
  // With starttls:// the library read the greeting before its STARTTLS and
  // hands it on now.
  ServerEndpoint endpoint;
  transcript_replaying(parse_server_name(g_state.smtp_server, &endpoint) &&
                       endpoint.transport == ServerTransport::kStarttls);
  const int greeted = exchange("", kCodeGreeting, kServerError, kGreetingMs);
  transcript_replaying(false);
  if (greeted != 0) return -1;
  g_state.server_offers = 0;
  const bool international = envelope_is_international(login, recipients);
  if (g_options.login.user != nullptr || g_state.dsn[0] != '\0' || g_state.eight_bit ||
      international) {
    return extended_hello(international);
  }
  const std::string helo = std::string("HELO ") + g_state.local_host + "\r\n";
  return exchange(helo, kCodeOk, kServerError, kGreetingMs);
}

int smtp_reset() { return exchange("RSET\r\n", kCodeOk, kServerError, kMailMs); }

int smtp_open_transaction(const char* login, const std::string& recipients) {
  if (int status = smtp_open_session(login, recipients)) return status;
  return smtp_start_mail(login, recipients, false, "");
}

int smtp_start_mail(const char* login, const std::string& recipients, bool eight_bit_body,
                    const std::string& message_id) {
  const bool international = envelope_is_international(login, recipients);
  if (international && !(g_state.server_offers & kOffersSmtpUtf8)) {
    transcript_reason("the server does not offer SMTPUTF8");
    smtp_abort(kNoSmtpUtf8);
    return -1;
  }
  if (eight_bit_body && !(g_state.server_offers & kOffers8BitMime)) {
    transcript_reason("the server does not offer 8BITMIME");
    smtp_abort(kNo8BitMimeForBody);
    return -1;
  }
  const bool dsn = g_state.dsn[0] != '\0' && (g_state.server_offers & kOffersDsn);
  if (g_state.dsn[0] != '\0' && !dsn) say(kNoDsn);
  const std::string envid(envid_of(message_id));
  const std::string mail = std::string("MAIL From:<") + login + ">" +
                           mail_parameters(eight_bit_body, international, dsn, envid) + "\r\n";
  if (exchange(mail, kCodeOk, kSenderRefused, kMailMs) != 0) return -1;
  const std::string notify = dsn ? " NOTIFY=" + dsn_notify(g_state.dsn) : "";
  if (send_recipients(recipients, notify) != 0) return -1;
  if (exchange("DATA\r\n", kCodeStartData, kDataRefused, kDataMs) != 0) return -1;
  if (!reply_arrived_early()) return 0;
  transcript_reason("a reply arrived before the message text was sent");
  smtp_abort(kDataRefused);
  return -1;
}

int smtp_finish_message(TextSource* source) {
  note_step("the message text");
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
  int code = smtp_read_reply(sent == 0 ? kEndOfDataMs : kAfterFailedSendMs);
  if (sent == 0 && code == kCodeOk) return 0;
  smtp_abort(kMessageRefused);
  return -1;
}

int smtp_quit() { return smtp_send(g_state.connection, kQuit, sizeof kQuit - 1); }

int smtp_disconnect() {
  int code = g_gensock.close(g_state.connection);
  if (code != 0) {
    report_transport_error("gensock_close", code);
    return -1;
  }
  unload_socket_library();
  return 0;
}
