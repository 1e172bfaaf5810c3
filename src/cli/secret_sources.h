// The secret's other sources: a command's output (-passcmd) and an OAuth
// access token that quib obtains itself (-oauth), and the two commands
// that set up and check an OAuth file.
#pragma once

#include <optional>

// Refuses options that cannot go together (-pass with -passcmd; -oauth
// with either, without -u or with a mechanism other than XOAUTH2 and
// OAUTHBEARER): status 1. With -oauth, -auth defaults to xoauth2.
std::optional<int> check_secret_options();

// Fills g_options.login.secret from -passcmd or -oauth when one is given: nothing
// when the run goes on (*used tells whether one was), else the status.
std::optional<int> secret_from_source(bool* used);

// "quib -oauth-login <file>" and "quib -oauth-check <file>", the only
// arguments: their status, or nothing when argv is no such command.
std::optional<int> oauth_command(int argc, const char* const* argv);
