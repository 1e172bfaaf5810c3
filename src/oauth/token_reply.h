// The JSON the token client reads and writes: the token endpoint's replies
// (RFC 6749 section 5, RFC 8628 section 3.2), Google's service account key,
// and the claims of a signed assertion. Nothing here throws.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/secret.h"

struct TokenReply {
  Secret access_token;
  Secret refresh_token;  // empty when the endpoint sent none
  long long expires_in = 0;
  std::string error;              // the endpoint's "error", printable
  std::string error_description;  // printable, at most 200 characters
};

// Results of read_token_reply.
constexpr int kReplyNotJson = -1;  // the body is no JSON object
constexpr int kReplyError = -2;    // it names an error
constexpr int kReplyNoToken = -3;  // it holds no access_token

// Reads a reply of the token endpoint. 0 when it holds an access token.
int read_token_reply(std::string_view body, TokenReply* reply);

struct DeviceReply {
  Secret device_code;
  std::string user_code;
  std::string verification_uri;
  long long expires_in = 900;
  long long interval = 5;
};
// Reads the device authorization reply; 0, or a kReply code (the error in
// *error when it names one).
int read_device_reply(std::string_view body, DeviceReply* reply, TokenReply* error);

struct ServiceAccountKey {
  std::string client_email;
  Secret private_key;  // PEM
  std::string private_key_id;
  std::string token_uri;
};
// Reads Google's JSON key file. 0 or -1.
int read_service_account_key(std::string_view text, ServiceAccountKey* key);

// A JSON object of string and integer members, in the order given.
struct JsonMember {
  std::string name;
  std::string text;  // used when is_number is false
  long long number = 0;
  bool is_number = false;
};
std::string json_object(const std::vector<JsonMember>& members);

// Printable ASCII only (any other byte left out), cut at most characters.
std::string printable(std::string_view text, std::size_t most);
