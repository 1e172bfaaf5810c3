// The OAuth file: "key = value" lines, "#" comments and blank lines, read
// into settings and rewritten with only some values changed. Pure code.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/secret.h"

struct OauthSettings {
  std::string provider;  // microsoft, google or generic
  std::string tenant;
  std::string token_url;
  std::string device_url;
  std::string scope;
  std::string client_id;
  Secret client_secret;
  std::string certificate;      // a PEM file: private key and certificate
  std::string service_account;  // Google's JSON key file
  Secret refresh_token;
  Secret access_token;
  long long expires_at = 0;  // Unix seconds; 0 when none is cached
};

// Reads the file's text. 0, or the number of the first line that is not a
// blank line, a comment or "known key = value" (with *why saying what is
// wrong, never quoting the line).
int parse_oauth_file(std::string_view text, OauthSettings* settings, std::string* why);

// The text with each key of `values` set: its lines keep everything but
// the value, a key the text lacks is added at its end. Comments, blank
// lines, order and line ends stay as they were.
Secret rewrite_oauth_file(std::string_view text,
                          const std::vector<std::pair<std::string, std::string_view>>& values);
