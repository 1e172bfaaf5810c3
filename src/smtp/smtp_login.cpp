// The login step of the dialogue (RFC 4954), between the greeting and MAIL.
#include <string>
#include <vector>

#include "quib/mailer_state.h"
#include "smtp/sasl.h"
#include "smtp/smtp_dialogue.h"

namespace {

constexpr int kCodeOk = 250;
constexpr int kCodeLoggedIn = 235;
constexpr int kCodeChallenge = 334;
// EHLO waits as long as the greeting, each AUTH step as long as MAIL.
constexpr int kLoginMs = 5 * 60 * 1000;

const char kHidden[] = "[credentials hidden]";

// Ends the login at `step`: the message names the step and the server's
// reply (or why, or that none came), then QUIT. Always -1.
int refuse(const std::string& step, int code, const std::vector<std::string>& reply,
           const std::string& why = "") {
  smtp_abort(login_refusal(step, reply, code < 0 && why.empty() ? "no reply" : why));
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
int initial_response(const std::string& name, std::string response, const char* answer) {
  const std::string step = "AUTH " + name;
  std::string command = credential_line(step + " ", &response);
  std::vector<std::string> reply;
  int code = send_credential(step + " " + kHidden, &command, &reply);
  if (code == kCodeChallenge && answer != nullptr) {
    std::string acknowledge = std::string(answer) + "\r\n";
    code = send_credential(kHidden, &acknowledge, &reply);
  }
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
  std::string encoded = base64_encode(g_state.user);
  std::string user = credential_line("", &encoded);
  code = send_credential(kHidden, &user, &reply);
  if (code != kCodeChallenge) return refuse("AUTH LOGIN (user name)", code, reply);
  if (!challenge_decodes(reply)) {
    return refuse("AUTH LOGIN (user name)", code, reply, "a challenge not in base64");
  }
  encoded = base64_encode(g_state.secret);
  std::string password = credential_line("", &encoded);
  code = send_credential(kHidden, &password, &reply);
  return code == kCodeLoggedIn ? 0 : refuse("AUTH LOGIN (password)", code, reply);
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : " ") + name;
  return text;
}

}  // namespace

int smtp_log_in(const std::vector<std::string>& reply) {
  const int code = kCodeOk;
  const SaslMechanism asked = sasl_mechanism_named(g_state.auth);
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
  int result = -1;
  switch (mechanism) {
    case SaslMechanism::kPlain:
      result = initial_response("PLAIN", plain_response(g_state.user, g_state.secret), nullptr);
      break;
    case SaslMechanism::kLogin:
      result = log_in_with_login();
      break;
    case SaslMechanism::kXoauth2:
      result = initial_response("XOAUTH2", xoauth2_response(g_state.user, g_state.secret), "");
      break;
    default:  // SaslMechanism::kOauthbearer
      result = initial_response(
          "OAUTHBEARER",
          oauthbearer_response(g_state.user, server.host, server.port, g_state.secret), "AQ==");
      break;
  }
  wipe_secret(&g_state.secret);
  return result;
}
