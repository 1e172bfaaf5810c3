// The SMTP dialogue: one connection, one transaction. TLS is not seen here: the socket
// library's gensock_connect (gensock/common/tls_connect.cpp) does the handshake, after the plain
// greeting, EHLO and STARTTLS for starttls://, so the dialogue starts at the greeting either way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gensock.h"
#include "smtp/smtp_wire.h"

class TextSource;
struct SmtpLogin;

// What a session is asked beyond the envelope.
struct DeliveryOptions {
  const char* dsn = "";  // -dsn: the NOTIFY value, or empty
  int eight_bit = 0;     // -8bit: an 8-bit body unencoded where the server allows
  int skip_refused = 0;  // -rcpt-skip-refused
};

// What a session met, held by its caller from the connection to the end.
struct SmtpSession {
  DialogueStep step;                 // the step under way; once one failed, that one
  unsigned server_offers = 0;        // what the EHLO reply offered (smtp/esmtp.h)
  std::vector<std::string> refused;  // recipients refused under skip_refused
};

// Connects, reads the greeting and sends HELO; EHLO instead when the login (with), -dsn, -8bit
// or an address with bytes above 127 needs it, keeping what the server offers in session; an EHLO
// answered 500 or 502 falls back to HELO once when only -dsn or -8bit asked for it. Then the
// login. 0, or -1 after a printed failure; 12 when a login in clear text would leave this machine.
int smtp_open_session(const char* login, const std::string& recipients, const SmtpLogin* with,
                      const DeliveryOptions& options, SmtpSession* session);

// After a finished transaction on an open session: RSET. 0 once answered
// 250; -1 after smtp_abort otherwise.
int smtp_reset(SmtpSession* session);

// On an open session: MAIL (with the parameters asked and offered, ENVID from message_id), one
// RCPT per recipient and DATA: 0 once DATA is accepted and no further reply came with it. An
// international address without SMTPUTF8, or an 8-bit body without 8BITMIME, ends the run before
// MAIL. With skip_refused a refused RCPT is printed and kept in session->refused; the run ends
// only when none was accepted.
int smtp_start_mail(const char* login, const std::string& recipients, bool eight_bit_body,
                    const std::string& message_id, const DeliveryOptions& options,
                    SmtpSession* session);

// What send_message_text put on the wire: the bytes the library took (the
// end marker included), the lines (each CR LF before the final ".", the one
// the marker adds after an unended last line included) and the dots doubled.
struct TransmitCounts {
  std::uint64_t bytes = 0;
  std::uint64_t lines = 0;
  std::uint64_t doubled_dots = 0;
  std::uint64_t longest_line = 0;  // in bytes as sent, its CR LF not counted
};

// Sends the message text with CR LF line ends, dot-stuffing and the end
// marker, then flushes; with counts, says there what went out. 0, or the
// first failing transport code.
int send_message_text(gensock_handle_t handle, const char* text, std::size_t length,
                      TransmitCounts* counts = nullptr);

// What send_message_from returns when the source failed: the text stopped
// before the end marker (nothing was flushed after the bytes sent).
constexpr int kSourceFailed = -2;

// Sends the text pulled block by block from source as send_message_text
// does; 0, kSourceFailed, or the first failing transport code.
int send_message_from(gensock_handle_t handle, TextSource* source,
                      TransmitCounts* counts = nullptr);

// Sends the text and reads the server's verdict. 0 when it answered 250;
// -1 after smtp_abort otherwise. When the source fails, the connection is
// closed without the end marker, so that nothing is delivered, and without
// a word (the caller names what failed): kSourceFailed.
int smtp_finish_message(TextSource* source, SmtpSession* session);
