// The login step of the dialogue (RFC 4954), between the greeting and MAIL.
#include "smtp/smtp_login.h"

#include <string>
#include <vector>

#include "message/base64.h"
#include "quib/exit_status.h"
#include "quib/mailer_state.h"
#include "smtp/sasl.h"
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

// "::ffff:127.0.0.1" and the longest IPv6 text with a zone fit.
constexpr int kPeerAddressBytes = 96;

const char kUseTls[] =
    ": the password would travel in clear text: use smtps:// or starttls:// before the server "
    "name\naborting, nothing sent";

// One login under way: what it was given, the step it notes, what it hides.
struct LoginRun {
  const SmtpLogin& with;
  DialogueStep* at;
  ServerEndpoint server;
  HiddenTexts hidden;
};

// Ends the login at `step`: the message names the step and the server's
// reply (or why, or that none came), then QUIT. Always -1.
int refuse(LoginRun* run, const std::string& step, int code, const std::vector<std::string>& reply,
           const std::string& why = "") {
  smtp_abort(run->at, login_refusal(step, reply, code < 0 && why.empty() ? "no reply" : why));
  return -1;
}

// The reply's text after "334 ", decoded; false when it is not base64.
bool challenge_decodes(const std::string& last, std::string* decoded) {
  return base64_decode(last.size() > 4 ? std::string_view(last).substr(4) : "", decoded);
}

// Sends prefix and the encoded credential as one line, shown as `step`
// (empty: going on the step before), and reads the reply into *reply.
int send_credential(LoginRun* run, const std::string& step, const std::string& prefix,
                    const Secret& encoded, std::vector<std::string>* reply) {
  Secret line(prefix);
  line.append(encoded.view());
  line.append("\r\n");
  run->hidden.hide(encoded.view());
  smtp_send_hidden(run->at, step, line);
  return smtp_read_reply(run->at, kLoginMs, reply, &run->hidden);
}

// One initial-response exchange (PLAIN, XOAUTH2, OAUTHBEARER). A token
// mechanism's failure comes as a 334 carrying the error, which `answer`
// acknowledges before the server's final refusal.
int initial_response(LoginRun* run, const std::string& name, const Secret& response,
                     const char* answer, bool may_renew = false) {
  const std::string step = "AUTH " + name;
  std::vector<std::string> reply;
  int code = send_credential(run, step + " " + kCredentialsHidden, step + " ", response, &reply);
  if (code == kCodeChallenge && answer != nullptr) {
    code = send_credential(run, "", "", Secret(answer), &reply);
  }
  if (code == kCodeRefused && may_renew) return kRefusedMayRenew;
  return code == kCodeLoggedIn ? 0 : refuse(run, step, code, reply);
}

int log_in_with_login(LoginRun* run) {
  std::vector<std::string> reply;
  std::string decoded;
  smtp_send(run->at, "AUTH LOGIN\r\n");
  int code = smtp_read_reply(run->at, kLoginMs, &reply, &run->hidden);
  if (code != kCodeChallenge) return refuse(run, "AUTH LOGIN", code, reply);
  if (!challenge_decodes(run->at->reply, &decoded))
    return refuse(run, "AUTH LOGIN", code, reply, "a challenge not in base64");
  // Only this challenge comes before a credential went out (a later one may echo it).
  if (run->at->reply.compare(0, 4, "334 ") == 0 && !decoded.empty())
    transcript_event("challenge decoded: " + transcript_shown(decoded, true));
  code = send_credential(run, "", "", secret_base64(run->with.user), &reply);
  if (code != kCodeChallenge) return refuse(run, "AUTH LOGIN (user name)", code, reply);
  if (!challenge_decodes(run->at->reply, &decoded)) {
    return refuse(run, "AUTH LOGIN (user name)", code, reply, "a challenge not in base64");
  }
  code = send_credential(run, "", "", secret_base64(run->with.secret->view()), &reply);
  return code == kCodeLoggedIn ? 0 : refuse(run, "AUTH LOGIN (password)", code, reply);
}

// Logs in with the mechanism; may_renew lets a token mechanism's 535 come
// back as kRefusedMayRenew, the session left open.
int log_in_with(LoginRun* run, SaslMechanism mechanism, bool may_renew) {
  const char* user = run->with.user;
  const std::string_view secret = run->with.secret->view();
  switch (mechanism) {
    case SaslMechanism::kPlain:
      return initial_response(run, "PLAIN", plain_response(user, secret), nullptr);
    case SaslMechanism::kLogin:
      return log_in_with_login(run);
    case SaslMechanism::kXoauth2:
      return initial_response(run, "XOAUTH2", xoauth2_response(user, secret), "", may_renew);
    default:  // SaslMechanism::kOauthbearer
      return initial_response(
          run, "OAUTHBEARER",
          oauthbearer_response(user, run->server.host, run->server.port, secret),
          "AQ==", may_renew);
  }
}

}  // namespace

int smtp_check_login_peer(const char* name, DialogueStep* at) {
  ServerEndpoint server;
  parse_server_name(name, &server);
  if (server.transport != ServerTransport::kPlain) return 0;
  std::string refusal;
  if (socket_library_can(GENSOCK_CAN_PEER)) {
    // Where the connection really leads, as the socket library reports it, or empty.
    char buffer[kPeerAddressBytes] = {};
    const bool told = g_gensock.peer_address != nullptr &&
                      g_gensock.peer_address(g_state.connection, buffer, kPeerAddressBytes) == 0;
    const std::string address = told ? buffer : "";
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
  smtp_name_step(at, "checking where a login in clear text would go");
  smtp_abort(at, refusal + kUseTls, refusal);
  return kExitNoServerOrSender;
}

int smtp_log_in(const SmtpLogin& login, int code, const std::vector<std::string>& reply,
                DialogueStep* at) {
  LoginRun run{login, at, {}, {}};
  if (code != kCodeOk) return refuse(&run, "EHLO", code, reply);
  const SaslMechanism asked = sasl_mechanism_named(login.mechanism);
  const std::vector<std::string> offered = offered_mechanisms(reply);
  const SaslMechanism mechanism = choose_mechanism(offered, asked);
  if (mechanism == SaslMechanism::kNone) {
    const std::string wanted =
        asked == SaslMechanism::kNone ? "PLAIN or LOGIN" : sasl_mechanism_text(asked);
    std::string names;
    for (const std::string& name : offered) names += (names.empty() ? "" : " ") + name;
    return refuse(&run, "EHLO", code, reply,
                  offered.empty()
                      ? "the server offers no AUTH"
                      : "the server offers no AUTH " + wanted + " (it offers " + names + ")");
  }
  parse_server_name(login.server, &run.server);
  run.hidden.hide_secret(login.secret->view());
  int result = log_in_with(&run, mechanism, login.renew != nullptr);
  if (result == kRefusedMayRenew) {
    const bool renewed = login.renew(login.secret) == 0;
    if (renewed) run.hidden.hide_secret(login.secret->view());
    result = renewed ? log_in_with(&run, mechanism, false) : -1;
    if (!renewed) {  // the token client has said why
      *at = DialogueStep();
      smtp_quit();
      smtp_disconnect();
    }
  }
  login.secret->clear();
  return result;
}
