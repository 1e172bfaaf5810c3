// Logging in (SMTP AUTH, RFC 4954): the encodings and the messages of the
// four mechanisms, the EHLO capability list, and where a secret may go.
// Pure code: no I/O.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/server_name.h"
#include "platform/secret.h"

enum class SaslMechanism { kNone, kPlain, kLogin, kXoauth2, kOauthbearer };

// The mechanism of an -auth value, any case; kNone when it names none.
SaslMechanism sasl_mechanism_named(std::string_view name);
// Its name on the wire: "PLAIN", "LOGIN", "XOAUTH2", "OAUTHBEARER".
const char* sasl_mechanism_text(SaslMechanism mechanism);

// "250-AUTH PLAIN", "250 auth=login": an AUTH line of an EHLO reply (its CR LF left out).
bool is_auth_line(std::string_view line);
// The mechanisms that the AUTH lines of an EHLO reply offer (lines without
// CR LF, the first line being the server's name): "250-AUTH PLAIN LOGIN"
// and the older "250-AUTH=LOGIN", any case, upper-cased, each once, in the
// order offered. Only characters a SASL name may hold are kept.
std::vector<std::string> offered_mechanisms(const std::vector<std::string>& ehlo_lines);
// The one to use: `asked` when offered, or without -auth (kNone) the first
// of PLAIN, LOGIN that is offered; kNone when there is none.
SaslMechanism choose_mechanism(const std::vector<std::string>& offered, SaslMechanism asked);

// The bytes in base64, and the initial responses, base64-encoded: held as secrets.
Secret secret_base64(std::string_view bytes);
// PLAIN (RFC 4616): NUL user NUL secret.
Secret plain_response(std::string_view user, std::string_view secret);
// XOAUTH2: "user=" user ^A "auth=Bearer " token ^A ^A.
Secret xoauth2_response(std::string_view user, std::string_view token);
// OAUTHBEARER (RFC 7628): "n,a=" user "," ^A "host=" host ^A "port=" port
// ^A "auth=Bearer " token ^A ^A, with "," and "=" in the user escaped.
Secret oauthbearer_response(std::string_view user, std::string_view host, int port,
                            std::string_view token);

constexpr char kCredentialsHidden[] = "[credentials hidden]";

// The texts a login hides in server text echoing a credential, wiped when it ends: applied_to
// replaces the secret, its base64 forms (at any of the three alignments) and each credential sent.
class HiddenTexts {
 public:
  void hide_secret(std::string_view secret);
  void hide(std::string_view text);  // kept longest first: a response before the secret in it
  std::string applied_to(std::string_view server_text) const;

 private:
  std::vector<Secret> texts_;
};

// The server as typed in -server: its transport, host and port.
struct ServerEndpoint {
  ServerTransport transport = ServerTransport::kPlain;
  std::string host;  // without brackets
  int port = 25;
};
// Splits "smtps://", "starttls://" (any case), "host", "host:port",
// "[v6]:port" and a bare IPv6 address. False when the name is malformed.
bool parse_server_name(std::string_view name, ServerEndpoint* endpoint);
// True for localhost (any case), 127.0.0.0/8 written as four decimal
// numbers, and ::1.
bool is_loopback_host(std::string_view host);
// True for a numeric address, as a socket library reports a peer, in
// 127.0.0.0/8, ::1 or ::ffff:127.0.0.0/104.
bool is_loopback_address(std::string_view address);

// The line that tells why the login failed at `step`: the step, then the
// server's reply (its lines' texts after the code, joined by blanks) or,
// without a reply, `why`; printable ASCII only, the reply part at most 200
// characters.
std::string login_refusal(const std::string& step, const std::vector<std::string>& reply_lines,
                          const std::string& why);
