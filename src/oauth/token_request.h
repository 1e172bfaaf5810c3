// What to ask the token endpoint: the grant the OAuth file calls for, the
// endpoint's address, and the request's form. Pure code.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "oauth/oauth_file.h"

enum class Grant { kRefreshToken, kJwtBearer, kClientCredentials, kDeviceCode };

// The grant's grant_type, as the request spells it.
const char* grant_type_text(Grant grant);

// The set-up of one token request, from the OAuth file.
struct TokenPlan {
  Grant grant = Grant::kClientCredentials;
  std::string token_url;
  std::string device_url;  // empty where the provider has no device flow here
  std::string scope;
};

// Checks the settings and fills *plan (the service account's key, when one
// is named, gives the token URL: key_token_uri). 0, or -1 with *why.
int plan_token_request(const OauthSettings& settings, const std::string& key_token_uri,
                       TokenPlan* plan, std::string* why);

// True for https:// URLs, and for http:// ones whose host is 127.0.0.1 or
// [::1] (secrets may travel in clear to a loopback peer only).
bool token_url_allowed(std::string_view url);

using FormFields = std::vector<std::pair<std::string_view, std::string_view>>;
// application/x-www-form-urlencoded: names and values percent-encoded
// (unreserved characters as they are), joined by "&".
Secret form_encode(const FormFields& fields);

// The client's own credential, for the token request's form: the secret,
// or the signed assertion (client_assertion_type and client_assertion).
void add_client_credential(const OauthSettings& settings, std::string_view assertion,
                           FormFields* fields);
