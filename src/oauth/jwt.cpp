#include "oauth/jwt.h"

#include <random>

#include "message/base64.h"
#include "oauth/signer.h"

namespace {

// An assertion is good for a short while only (Microsoft: "5-10 minutes";
// Google: at most an hour).
constexpr long long kClientAssertionSeconds = 10 * 60;
constexpr long long kServiceAssertionSeconds = 60 * 60;

// A fresh identifier: 16 random bytes as hex.
std::string fresh_id() {
  static const char kHex[] = "0123456789abcdef";
  std::random_device random;
  std::string id;
  for (int i = 0; i < 16; ++i) {
    const unsigned byte = random() & 0xff;
    id += kHex[byte >> 4];
    id += kHex[byte & 15];
  }
  return id;
}

JsonMember text(const char* name, const std::string& value) { return {name, value, 0, false}; }
JsonMember number(const char* name, long long value) { return {name, "", value, true}; }

// The signature makes the assertion a credential: it goes into Secrets.
int signed_token(const std::string& header, const std::string& claims, std::string_view pem,
                 Secret* jwt, std::string* why) {
  const std::string input = base64url(header) + "." + base64url(claims);
  std::string signature;
  if (rs256_sign(pem, input, &signature, why) != 0) return -1;
  std::string encoded = base64url(Secret::adopt(&signature).view());
  *jwt = Secret(input + '.');
  jwt->append(Secret::adopt(&encoded).view());
  return 0;
}

}  // namespace

std::string base64url(std::string_view bytes) {
  std::string text = base64_encode(bytes);
  while (!text.empty() && text.back() == '=') text.pop_back();
  for (char& c : text) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  return text;
}

int client_assertion(std::string_view pem, const std::string& client_id,
                     const std::string& token_url, long long now, Secret* jwt, std::string* why) {
  std::string sha1;
  std::string sha256;
  if (certificate_thumbprints(pem, &sha1, &sha256, why) != 0) return -1;
  const std::string header =
      json_object({text("alg", "RS256"), text("typ", "JWT"), text("x5t#S256", base64url(sha256)),
                   text("x5t", base64url(sha1))});
  const std::string claims =
      json_object({text("aud", token_url), text("iss", client_id), text("sub", client_id),
                   number("exp", now + kClientAssertionSeconds), number("nbf", now),
                   number("iat", now), text("jti", fresh_id())});
  return signed_token(header, claims, pem, jwt, why);
}

int service_account_assertion(const ServiceAccountKey& key, const std::string& subject,
                              const std::string& scope, const std::string& token_url, long long now,
                              Secret* jwt, std::string* why) {
  std::vector<JsonMember> header = {text("alg", "RS256"), text("typ", "JWT")};
  if (!key.private_key_id.empty()) header.push_back(text("kid", key.private_key_id));
  std::vector<JsonMember> claims = {text("iss", key.client_email)};
  if (!subject.empty()) claims.push_back(text("sub", subject));
  claims.insert(claims.end(), {text("scope", scope), text("aud", token_url), number("iat", now),
                               number("exp", now + kServiceAssertionSeconds)});
  return signed_token(json_object(header), json_object(claims), key.private_key.view(), jwt, why);
}
