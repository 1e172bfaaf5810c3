// Logging in, before anything is sent: where the secret may go, and where
// it comes from.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/secret.h"
#include "queue/queue.h"
#include "smtp/smtp_login.h"

// The login as a queued entry keeps it, and the secret once found (wiped once sent).
struct LoginOptions : QueueLogin {
  Secret secret;
  // For a cached token: a new one in place of the refused one in *secret; 0, or -1 once said why.
  int (*renew_secret)(Secret* secret) = nullptr;
};

// The password of `user` at `host` in a netrc text: the first "machine"
// entry for the host (any case) whose login is the user, or failing that a
// "default" entry whose login is the user. Quoted tokens ("a b", with
// backslash escapes), "#" comments where a keyword may stand and "macdef"
// bodies (up to an empty line) are understood. False when none matches.
bool netrc_password(std::string_view text, std::string_view host, std::string_view user,
                    Secret* password);

// With -u: checks -auth, refuses a plain connection to anything but a
// loopback address, and finds the secret (-pass, QUIB_PASSWORD, then the
// platform's store). The exit status after the message, or nothing when
// the run goes on. Without -u it does nothing.
std::optional<int> prepare_login();

// What the dialogue takes to log in with `login` (its user null: no login).
SmtpLogin login_for_session(LoginOptions* login);

// prepare_login for a queued message, its login in place of the run's: *with
// as login_for_session gives it, or in *failure why no secret was found.
std::optional<int> prepare_queued_login(const QueueLogin& queued, SmtpLogin* with,
                                        DialogueStep* failure);
