// The SMTP dialogue: one connection, one transaction. TLS is not seen
// here: for smtps:// and starttls:// the socket library's gensock_connect
// (gensock/common/tls_connect.cpp) does the handshake, and for starttls://
// the plain greeting, EHLO and STARTTLS exchange before it, so the dialogue
// below starts at the greeting either way, inside TLS when one was asked for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gensock.h"

class TextSource;

// Loads the socket library, connects to g_state.smtp_server on "smtp" (on
// "25" after 4014) and asks for the local host name. 0, or -1 after a
// printed failure (nothing is undone).
int smtp_connect();

// Reads one reply, continuation lines included, all of it within limit_ms
// where the library can time replies; returns the code of its last line, 0
// for a reply that runs past 16 MiB in all, or -1 after a printed transport
// failure. With `lines`, that is first emptied and then gets, in order, the
// lines read up to the first 2 KiB and the AUTH lines after them, 4 KiB
// in all at most, each without its CR LF and cut to its first 512 bytes
// (the rest of a longer line is read and dropped); after a failure, the
// lines read so far.
int smtp_read_reply(int limit_ms, std::vector<std::string>* lines = nullptr);

// Sends length bytes at once. 0, or -1 after a printed transport failure.
int smtp_send(gensock_handle_t handle, const char* data, unsigned long length);

// Sends a command that carries credentials, like smtp_send; where the
// dialogue is shown, `shown` stands in its place ("[credentials hidden]").
int smtp_send_hidden(const std::string& shown, const std::string& command);

// Keeps g_state.last as g_state.failure, prints message and a line end,
// sends QUIT, disconnects.
void smtp_abort(const std::string& message);

// With -u over a plain connection, before EHLO: 0 when the connected peer
// is this machine (as the socket library reports it, or without that
// report 127.0.0.1 or [::1] as typed); otherwise smtp_abort with why and
// 12, before any credential byte.
int smtp_check_login_peer();

// With -u, after EHLO (answered with ehlo_code and the kept lines
// ehlo_reply): SMTP AUTH as g_options.login.user with its secret (wiped once
// sent) through the mechanism -auth names or the usual one. 0 once logged
// in; -1 after smtp_abort with the step and the server's answer (an EHLO
// not answered 250 among them).
int smtp_log_in(int ehlo_code, const std::vector<std::string>& ehlo_reply);

// Connects, reads the greeting and sends HELO; EHLO instead when the login
// (-u), -dsn, -8bit or an address of the envelope holding bytes above 127
// (in login or recipients) needs it, keeping what the server offers in
// g_state.server_offers. An EHLO answered 500 or 502 falls back to HELO once
// when only -dsn or -8bit asked for it. Then the login with -u. 0, or -1
// after a printed failure (closed as below); with -u, 12 when a login in
// clear text would leave this machine.
int smtp_open_session(const char* login, const std::string& recipients);

// After a finished transaction on an open session: RSET. 0 once answered
// 250; -1 after smtp_abort otherwise.
int smtp_reset();

// On an open session: MAIL (with the parameters that -dsn, SMTPUTF8 and
// eight_bit_body ask and the server offers, ENVID from message_id), one
// RCPT per recipient and DATA, as below. An international address to a
// server without SMTPUTF8 ends the run before MAIL, as does an 8-bit body
// to a server without 8BITMIME (a queued one). With -rcpt-skip-refused a
// refused RCPT is printed with its code and kept in g_state.refused; the
// run ends only when none was accepted.
int smtp_start_mail(const char* login, const std::string& recipients, bool eight_bit_body,
                    const std::string& message_id);

// smtp_open_session, then smtp_start_mail without an 8-bit body: 0 once
// DATA is accepted and no further reply came with it; -1 after a printed
// failure (after a refusal the connection is closed and the library
// unloaded); 12 when a login would go in clear text beyond this machine.
int smtp_open_transaction(const char* login, const std::string& recipients);

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
int smtp_finish_message(TextSource* source);

// Sends QUIT; no reply is read.
int smtp_quit();

// Closes the connection and unloads the library. 0, or -1 when closing failed.
int smtp_disconnect();
