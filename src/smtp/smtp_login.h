// The login step of the dialogue (RFC 4954), between the greeting and MAIL,
// on the wire's primitives alone.
#pragma once

#include <string>
#include <vector>

#include "platform/secret.h"
#include "smtp/smtp_wire.h"

// What a login needs, from the command line or a queued entry.
struct SmtpLogin {
  const char* user = nullptr;  // -u: log in as this user
  Secret* secret = nullptr;    // the password or token; wiped once sent
  const char* mechanism = "";  // -auth as typed, or empty for the usual one
  const char* server = "";     // -server as typed (OAUTHBEARER names its host and port)
  // With a cached token: puts a new one in *secret in place of the refused
  // one. 0, or -1 once it has said why.
  int (*renew)(Secret* secret) = nullptr;
};

// With a login over a plain connection, before EHLO: 0 when the connected
// peer is this machine (as the socket library reports it, or without that
// report 127.0.0.1 or [::1] as typed in server); otherwise smtp_abort with
// why and 12, before any credential byte.
int smtp_check_login_peer(const char* server, DialogueStep* at);

// After EHLO (answered with ehlo_code and the kept lines ehlo_reply): SMTP
// AUTH as login.user with *login.secret (wiped once sent) through the
// mechanism login.mechanism names or the usual one. A challenge is shown
// decoded, and no server line shows the secret or a credential sent. 0 once
// logged in; -1 after smtp_abort with the step and the server's answer (an
// EHLO not answered 250 among them), or after a renewal that failed.
int smtp_log_in(const SmtpLogin& login, int ehlo_code, const std::vector<std::string>& ehlo_reply,
                DialogueStep* at);
