// The login step of the dialogue (RFC 4954), between the greeting and MAIL.
#include <string>
#include <vector>

#include "cli/run_options.h"
#include "message/base64.h"
#include "quib/exit_status.h"
#include "quib/mailer_state.h"
#include "smtp/sasl.h"
#include "smtp/smtp_dialogue.h"
#include "smtp/socket_library.h"
#include "smtp/transcript.h"

namespace {

constexpr int kCodeOk = 250;
constexpr int kCodeLoggedIn = 235;
constexpr int kCodeChallenge = 334;
constexpr int kCodeRefused = 535;
// initial_response's result when the server refused a token that may be
// renewed: the session stays open for one more try.
constexpr int kRefusedMayRenew = 1;
// Each AUTH step waits as long as MAIL.
constexpr int kLoginMs = 5 * 60 * 1000;

const char kHidden[] = "[credentials hidden]";

// "::ffff:127.0.0.1" and the longest IPv6 text with a zone fit.
constexpr int kPeerAddressBytes = 96;

const char kUseTls[] =
    ": the password would travel in clear text: use smtps:// or starttls:// before the server "
    "name\naborting, nothing sent";

// Where the connection really leads, as the socket library reports it; an
// empty text when it cannot tell.
std::string peer_address() {
  char address[kPeerAddressBytes] = {};
  if (g_gensock.peer_address == nullptr ||
      g_gensock.peer_address(g_state.connection, address, kPeerAddressBytes) != 0) {
    return std::string();
  }
  return address;
}

// Ends the login at `step`: the message names the step and the server's
// reply (or why, or that none came), then QUIT. Always -1.
int refuse(const std::string& step, int code, const std::vector<std::string>& reply,
           const std::string& why = "") {
  std::vector<std::string> shown;
  for (const std::string& line : reply) shown.push_back(without_secrets(line));
  smtp_abort(login_refusal(step, shown, code < 0 && why.empty() ? "no reply" : why));
  return -1;
}

// The reply's text after "334 ", decoded; false when it is not base64.
bool challenge_decodes(const std::vector<std::string>& reply) {
  std::string decoded;
  const std::string& last = reply.empty() ? std::string() : reply.back();
  return base64_decode(last.size() > 4 ? std::string_view(last).substr(4) : "", &decoded);
}

// prefix, then the encoded text (wiped), then CR LF, in one allocation, so
// that no copy of the credential is left behind in freed memory.
std::string credential_line(const std::string& prefix, std::string* encoded) {
  std::string line;
  line.reserve(prefix.size() + encoded->size() + 2);
  line += prefix;
  line += *encoded;
  line += "\r\n";
  transcript_hide_credential(*encoded);
  wipe_secret(encoded);
  return line;
}

// Sends a credential line and reads the reply into *reply. The command is
// wiped once sent.
int send_credential(const std::string& shown, std::string* command,
                    std::vector<std::string>* reply) {
  smtp_send_hidden(shown, *command);
  wipe_secret(command);
  return smtp_read_reply(kLoginMs, reply);
}

// One initial-response exchange (PLAIN, XOAUTH2, OAUTHBEARER). A token
// mechanism's failure comes as a 334 carrying the error, which `answer`
// acknowledges before the server's final refusal.
int initial_response(const std::string& name, std::string response, const char* answer,
                     bool may_renew = false) {
  const std::string step = "AUTH " + name;
  std::string command = credential_line(step + " ", &response);
  std::vector<std::string> reply;
  int code = send_credential(step + " " + kHidden, &command, &reply);
  if (code == kCodeChallenge && answer != nullptr) {
    std::string acknowledge = std::string(answer) + "\r\n";
    code = send_credential(kHidden, &acknowledge, &reply);
  }
  if (code == kCodeRefused && may_renew) return kRefusedMayRenew;
  return code == kCodeLoggedIn ? 0 : refuse(step, code, reply);
}

int log_in_with_login() {
  std::vector<std::string> reply;
  const std::string start = "AUTH LOGIN\r\n";
  smtp_send(g_state.connection, start.data(), start.size());
  int code = smtp_read_reply(kLoginMs, &reply);
  if (code != kCodeChallenge) return refuse("AUTH LOGIN", code, reply);
  if (!challenge_decodes(reply))
    return refuse("AUTH LOGIN", code, reply, "a challenge not in base64");
  std::string encoded = base64_encode(g_options.login.user);
  std::string user = credential_line("", &encoded);
  code = send_credential(kHidden, &user, &reply);
  if (code != kCodeChallenge) return refuse("AUTH LOGIN (user name)", code, reply);
  if (!challenge_decodes(reply)) {
    return refuse("AUTH LOGIN (user name)", code, reply, "a challenge not in base64");
  }
  encoded = base64_encode(g_options.login.secret.view());
  std::string password = credential_line("", &encoded);
  code = send_credential(kHidden, &password, &reply);
  return code == kCodeLoggedIn ? 0 : refuse("AUTH LOGIN (password)", code, reply);
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : " ") + name;
  return text;
}

// Logs in with the mechanism; may_renew lets a token mechanism's 535 come
// back as kRefusedMayRenew, the session left open.
int log_in_with(SaslMechanism mechanism, const ServerEndpoint& server, bool may_renew) {
  const LoginOptions& login = g_options.login;
  switch (mechanism) {
    case SaslMechanism::kPlain:
      return initial_response("PLAIN", plain_response(login.user, login.secret.view()), nullptr);
    case SaslMechanism::kLogin:
      return log_in_with_login();
    case SaslMechanism::kXoauth2:
      return initial_response("XOAUTH2", xoauth2_response(login.user, login.secret.view()), "",
                              may_renew);
    default:  // SaslMechanism::kOauthbearer
      return initial_response(
          "OAUTHBEARER",
          oauthbearer_response(login.user, server.host, server.port, login.secret.view()),
          "AQ==", may_renew);
  }
}

}  // namespace

int smtp_check_login_peer() {
  ServerEndpoint server;
  parse_server_name(g_state.smtp_server, &server);
  if (server.transport != ServerTransport::kPlain) return 0;
  std::string refusal;
  if (socket_library_can(GENSOCK_CAN_PEER)) {
    const std::string address = peer_address();
    transcript_event("the server's address is " + (address.empty() ? "unknown" : address));
    if (address.empty()) {
      refusal = "-u: the socket library cannot tell the server's address";
    } else if (!is_loopback_address(address)) {
      refusal = "-u: " + server.host + " leads to " + address + ", not to this machine";
    }
  } else if (server.host != "127.0.0.1" && server.host != "::1") {
    refusal = "-u: the socket library cannot tell where " + server.host +
              " leads (plain text only to 127.0.0.1 or [::1])";
  }
  if (refusal.empty()) return 0;
  transcript_step("checking where a login in clear text would go");
  transcript_reason(refusal);
  smtp_abort(refusal + kUseTls);
  return kExitNoServerOrSender;
}

int smtp_log_in(int code, const std::vector<std::string>& reply) {
  if (code != kCodeOk) return refuse("EHLO", code, reply);
  const SaslMechanism asked = sasl_mechanism_named(g_options.login.auth);
  const std::vector<std::string> offered = offered_mechanisms(reply);
  const SaslMechanism mechanism = choose_mechanism(offered, asked);
  if (mechanism == SaslMechanism::kNone) {
    const std::string wanted =
        asked == SaslMechanism::kNone ? "PLAIN or LOGIN" : sasl_mechanism_text(asked);
    return refuse("EHLO", code, reply,
                  offered.empty() ? "the server offers no AUTH"
                                  : "the server offers no AUTH " + wanted + " (it offers " +
                                        joined(offered) + ")");
  }
  ServerEndpoint server;
  parse_server_name(g_state.smtp_server, &server);
  transcript_hide_secret(g_options.login.secret.view());
  int result = log_in_with(mechanism, server, g_options.login.renew_secret != nullptr);
  if (result == kRefusedMayRenew) {
    const bool renewed = g_options.login.renew_secret(&g_options.login.secret) == 0;
    if (renewed) transcript_hide_secret(g_options.login.secret.view());
    result = renewed ? log_in_with(mechanism, server, false) : -1;
    if (!renewed) {  // the token client has said why
      smtp_quit();
      smtp_disconnect();
    }
  }
  g_options.login.secret.clear();
  transcript_forget_secrets();
  return result;
}
