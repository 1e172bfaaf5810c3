// The login step of the dialogue (RFC 4954), between the greeting and MAIL,
// on the wire's primitives alone.
#pragma once

#include <string>
#include <vector>

#include "smtp/smtp_wire.h"

// What a login needs, from the command line or a queued entry.
struct SmtpLogin {
  const char* user = nullptr;              // -u: log in as this user
  Secret* secret = nullptr;                // the password or token; wiped once sent
  const char* mechanism = "";              // -auth as typed, or empty for the usual one
  const char* server = "";                 // -server as typed (OAUTHBEARER names its host and port)
  int (*renew)(Secret* secret) = nullptr;  // a cached token's: puts a new one in *secret
};

// Over a plain connection, before EHLO: 0 when the peer is this machine (as the library
// reports it, or else 127.0.0.1 or [::1] as typed); otherwise smtp_abort with why and 12.
int smtp_check_login_peer(const char* server, DialogueStep* at);

// After EHLO (its code and kept lines): AUTH with the mechanism asked or the usual one, no server
// line showing a secret. 0 once logged in; -1 after smtp_abort naming the step and the answer,
// or after a renewal that failed.
int smtp_log_in(const SmtpLogin& login, int ehlo_code, const std::vector<std::string>& ehlo_reply,
                DialogueStep* at);
