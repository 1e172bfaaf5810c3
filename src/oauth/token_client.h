// The token client: an OAuth access token for the run from the OAuth file
// (-oauth), cached in it and refreshed when needed, the set-up's check
// (-oauth-check) and the device-code sign-in (-oauth-login). Each prints
// its messages itself and returns 0, or -1 once it has said why.
#pragma once

#include <string>

#include "platform/secret.h"

// The access token in *token: the cached one while more than 5 minutes
// remain, else a new one from the endpoint (saved back into the file).
// refused: a token the server has just refused (empty for none; it may be
// *token's own text, read before *token is set), never handed back again.
// *cached tells whether the token came from the cache.
// A failure's message ends with "aborting, nothing sent"; it returns
// kTokenEndpointAway when the endpoint gave no reply (unreachable, TLS
// refused), a failure that may pass.
constexpr int kTokenEndpointAway = -2;
int oauth_token_for_run(const std::string& path, const std::string& user, std::string_view refused,
                        Secret* token, bool* cached);

// Fetches or reuses a token and prints the grant, the endpoint and the
// minutes the token has left.
int oauth_check(const std::string& path);

// The device-code flow (RFC 8628): prints the address and the code, polls
// as the endpoint says and stores the refresh token.
int oauth_login(const std::string& path);
