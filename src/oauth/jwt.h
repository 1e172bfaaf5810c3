// Signed assertions (JWT, RFC 7519 and 7523): Microsoft's client assertion
// made with a certificate, and Google's service account grant.
#pragma once

#include <string>
#include <string_view>

#include "oauth/token_reply.h"

// Base64url without padding (RFC 4648 section 5).
std::string base64url(std::string_view bytes);

// The client assertion: header alg RS256, typ JWT, x5t#S256 and x5t of the
// certificate; claims aud (the token URL), iss and sub (the client id),
// exp (10 minutes on), nbf and iat (now), a fresh jti. 0, or -1 with *why.
int client_assertion(std::string_view pem, const std::string& client_id,
                     const std::string& token_url, long long now, Secret* jwt, std::string* why);

// The service account's assertion: header alg RS256, typ JWT, kid; claims
// iss (client_email), sub (the mailbox, for domain-wide delegation), scope,
// aud (the token URL), iat, exp (one hour on). 0, or -1 with *why.
int service_account_assertion(const ServiceAccountKey& key, const std::string& subject,
                              const std::string& scope, const std::string& token_url, long long now,
                              Secret* jwt, std::string* why);
