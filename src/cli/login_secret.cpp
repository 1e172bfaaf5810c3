#include "cli/login_secret.h"

#include <cstdlib>
#include <string>

#include "cli/run_options.h"
#include "cli/secret_sources.h"
#include "platform/platform.h"
#include "quib/console.h"
#include "quib/exit_status.h"
#include "quib/mailer_state.h"
#include "smtp/sasl.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The tokens of a netrc text, one at a time.
class NetrcTokens {
 public:
  explicit NetrcTokens(std::string_view text) : text_(text) {}

  // The next token into *token; false at the end. A "#" that begins a token
  // where a keyword may stand (keyword true) comments out the rest of its line.
  bool next(Secret* token, bool keyword) {
    token->clear();
    for (;;) {
      while (at_ < text_.size() && is_blank(text_[at_])) ++at_;
      if (at_ == text_.size()) return false;
      if (!keyword || text_[at_] != '#') break;
      while (at_ < text_.size() && text_[at_] != '\n') ++at_;
    }
    if (text_[at_] != '"') {
      while (at_ < text_.size() && !is_blank(text_[at_])) token->append(text_[at_++]);
      return true;
    }
    for (++at_; at_ < text_.size() && text_[at_] != '"'; ++at_) {
      if (text_[at_] == '\\' && at_ + 1 < text_.size()) ++at_;
      token->append(text_[at_]);
    }
    if (at_ < text_.size()) ++at_;  // the closing quote
    return true;
  }

  // Passes over a macro's body: everything up to an empty line.
  void skip_macro() {
    const std::size_t end = text_.find("\n\n", at_);
    at_ = end == std::string_view::npos ? text_.size() : end + 2;
  }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
};

struct NetrcEntry {
  bool open = false;  // a machine or default entry has begun
  bool is_default = false;
  Secret machine;  // any token may be a password put in the wrong place
  Secret login;
  Secret password;
  bool has_password = false;
};

// The platform's comparison, as for the command line's options (on Windows
// the system's, which folds more than ASCII).
bool same_machine(std::string_view machine, std::string_view host) {
  return machine.size() == host.size() &&
         platform_compare_nocase(Secret(machine).c_str(), std::string(host).c_str()) == 0;
}

int say_status(const std::string& text, int status) {
  say(text);
  return status;
}

const char kNothingSent[] = "aborting, nothing sent\n";

// Finds the secret where the user may have left it; *tried lists where it looked.
int find_secret(const std::string& host, std::string* tried) {
  LoginOptions& login = g_options.login;
  const char* environment = std::getenv("QUIB_PASSWORD");
  if (environment != nullptr && environment[0] != '\0') {
    login.secret = Secret(environment);
    return 0;
  }
  *tried = "-pass, QUIB_PASSWORD";
  std::string path;
  Secret text;
  const int netrc = platform_read_netrc(&path, &text);
  if (netrc == kSecretOpenToOthers) {
    return say_status(
        path + " can be read by others: refused (chmod 600 " + path + ")\n" + kNothingSent,
        kExitNoServerOrSender);
  }
  if (netrc != kSecretNoStore) *tried += ", " + (path.empty() ? std::string("~/.netrc") : path);
  if (netrc == 0 && netrc_password(text.view(), host, login.user, &login.secret)) return 0;
  const std::string target = "quib:" + host;
  const int stored = platform_read_credential(target, login.user, &login.secret);
  if (stored == 0) return 0;
  if (stored != kSecretNoStore) *tried += ", the Credential Manager (" + target + ")";
  return -1;
}

}  // namespace

bool netrc_password(std::string_view text, std::string_view host, std::string_view user,
                    Secret* password) {
  NetrcTokens tokens(text);
  NetrcEntry entry;
  Secret fallback;
  bool has_fallback = false;
  Secret token;
  Secret value;
  bool more = true;
  while (more) {
    more = tokens.next(&token, true);
    const std::string_view word = token.view();
    if (!more || word == "machine" || word == "default") {
      if (entry.open && entry.has_password && entry.login.view() == user) {
        if (!entry.is_default && same_machine(entry.machine.view(), host)) {
          *password = std::move(entry.password);
          return true;
        }
        if (entry.is_default && !has_fallback) {
          fallback = std::move(entry.password);
          has_fallback = true;
        }
      }
      entry = NetrcEntry();
      entry.open = more;
      entry.is_default = word == "default";
      if (more && word == "machine") more = tokens.next(&entry.machine, false);
    } else if (word == "macdef") {
      tokens.next(&value, false);
      tokens.skip_macro();
    } else if (word == "login" || word == "password" || word == "account") {
      if (!tokens.next(&value, false)) break;
      if (word == "login") entry.login = std::move(value);
      if (word == "password") {
        entry.password = std::move(value);
        entry.has_password = true;
      }
    }
  }
  if (has_fallback) *password = std::move(fallback);
  return has_fallback;
}

std::optional<int> prepare_login() {
  const LoginOptions& login = g_options.login;
  if (std::optional<int> status = check_secret_options()) return status;
  if (login.user == nullptr) return std::nullopt;
  if (login.auth[0] != '\0' && sasl_mechanism_named(login.auth) == SaslMechanism::kNone) {
    return say_status(std::string("-auth: unknown mechanism ") + login.auth +
                          " (plain, login, xoauth2 or oauthbearer)\n",
                      kExitUsage);
  }
  ServerEndpoint server;
  parse_server_name(g_state.smtp_server, &server);  // a malformed name fails to connect
  if (server.transport == ServerTransport::kPlain && !is_loopback_host(server.host)) {
    return say_status(
        std::string("-u: the password would travel in clear text: use smtps:// or starttls:// "
                    "before the server name (plain text only to 127.0.0.1, ::1 or localhost)\n") +
            kNothingSent,
        kExitNoServerOrSender);
  }
  std::string tried;
  bool sourced = false;
  if (std::optional<int> status = secret_from_source(&sourced)) return status;
  if (!sourced && login.secret.empty()) {
    const int found = find_secret(server.host, &tried);
    if (found > 0) return found;
    if (found < 0) {
      return say_status(std::string("no password for ") + login.user + " at " + server.host +
                            ": tried " + tried + "\n" + kNothingSent,
                        kExitNoServerOrSender);
    }
  }
  platform_protect_secrets();
  return std::nullopt;
}

SmtpLogin login_for_session(LoginOptions* login) {
  return {login->user, &login->secret, login->auth, g_state.smtp_server, login->renew_secret};
}

std::optional<int> prepare_queued_login(const QueueLogin& queued, SmtpLogin* with,
                                        DialogueStep* failure) {
  g_options.login = LoginOptions();
  static_cast<QueueLogin&>(g_options.login) = queued;
  g_options.failure = DialogueStep();
  const std::optional<int> status = prepare_login();
  *failure = g_options.failure;
  *with = login_for_session(&g_options.login);
  return status;
}
