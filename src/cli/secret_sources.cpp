#include "cli/secret_sources.h"

#include <string>

#include "cli/run_options.h"
#include "cli/usage.h"
#include "oauth/token_client.h"
#include "platform/platform.h"
#include "platform/secret.h"
#include "quib/console.h"
#include "quib/exit_status.h"
#include "quib/mailer_state.h"
#include "smtp/sasl.h"

namespace {

// A command that prints the secret gets this long before it is killed.
constexpr int kCommandSeconds = 60;

int usage_error(const char* text) {
  say(text);
  return kExitUsage;
}

// Replaces the refused token in *secret by a fresh one.
int renew_token(Secret* secret) {
  bool cached = false;
  const LoginOptions& login = g_options.login;
  const int got =
      oauth_token_for_run(login.oauth_file, login.user, secret->view(), secret, &cached);
  return got == 0 ? 0 : -1;
}

// Keeps what failed for whoever ends the run (a queued message's reason).
int failed_source(const char* step, const std::string& why, bool may_pass) {
  g_options.failure = DialogueStep{step, 0, why, 0, may_pass, false, {}, {}};
  return kExitNoServerOrSender;
}

std::optional<int> secret_from_command() {
  Secret line;
  int code = 0;
  const int ran = platform_run_command(g_options.login.pass_command, kCommandSeconds, &line, &code);
  if (ran == 0) {
    g_options.login.secret = std::move(line);
    return std::nullopt;
  }
  std::string why = ran == kCommandKilled     ? "was killed by signal " + std::to_string(code)
                    : ran == kCommandTimedOut ? "ran longer than 60 s and was killed"
                    : ran == kCommandNoOutput ? "printed an empty first line"
                                              : "ended with status " + std::to_string(code);
  say("-passcmd: the command " + why + "\naborting, nothing sent\n");
  return failed_source("running -passcmd", "the command " + why, true);
}

}  // namespace

std::optional<int> check_secret_options() {
  LoginOptions& login = g_options.login;
  const bool pass = !login.secret.empty();
  if (pass && login.pass_command != nullptr) {
    return usage_error("-pass and -passcmd cannot go together\n");
  }
  if (login.oauth_file == nullptr) return std::nullopt;
  if (pass || login.pass_command != nullptr) {
    return usage_error("-oauth cannot go with -pass or -passcmd\n");
  }
  if (login.user == nullptr) return usage_error("-oauth needs -u (the mailbox)\n");
  const SaslMechanism asked = sasl_mechanism_named(login.auth);
  if (login.auth[0] == '\0') {
    login.auth = "xoauth2";
  } else if (asked != SaslMechanism::kXoauth2 && asked != SaslMechanism::kOauthbearer) {
    return usage_error("-oauth: -auth must be xoauth2 or oauthbearer\n");
  }
  return std::nullopt;
}

std::optional<int> secret_from_source(bool* used) {
  LoginOptions& login = g_options.login;
  *used = login.pass_command != nullptr || login.oauth_file != nullptr;
  if (login.pass_command != nullptr) return secret_from_command();
  if (login.oauth_file == nullptr) return std::nullopt;
  bool cached = false;
  const int got = oauth_token_for_run(login.oauth_file, login.user, "", &login.secret, &cached);
  if (got == kTokenEndpointAway) {
    return failed_source("fetching a token", "the token endpoint could not be reached", true);
  }
  if (got != 0) return failed_source("fetching a token", "no token (see quib -oauth-check)", false);
  // A cached token may have been revoked: a refusal is retried once with a new one.
  if (cached) login.renew_secret = renew_token;
  return std::nullopt;
}

std::optional<int> oauth_command(int argc, const char* const* argv) {
  if (argc < 2) return std::nullopt;
  const bool login = platform_compare(argv[1], "-oauth-login") == 0;
  if (!login && platform_compare(argv[1], "-oauth-check") != 0) return std::nullopt;
  if (argc != 3) {
    print_usage();
    return kExitUsage;
  }
  const int done = login ? oauth_login(argv[2]) : oauth_check(argv[2]);
  return done == 0 ? kExitSent : kExitNoServerOrSender;
}
