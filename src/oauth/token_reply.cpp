#include "oauth/token_reply.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::json;

// What is shown of an endpoint's error description.
constexpr std::size_t kDescriptionMost = 200;
// The error code is a short ASCII word (RFC 6749 section 5.2).
constexpr std::size_t kErrorMost = 64;

bool parse_object(std::string_view body, Json* json) {
  *json = Json::parse(body.begin(), body.end(), nullptr, false);
  return !json->is_discarded() && json->is_object();
}

std::string text_member(const Json& json, const char* name) {
  const auto found = json.find(name);
  return found != json.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// A string member moved into a Secret: the parsed value's buffer goes with it.
Secret secret_member(Json* json, const char* name) {
  const auto found = json->find(name);
  if (found == json->end() || !found->is_string()) return Secret();
  return Secret::adopt(&found->get_ref<std::string&>());
}

bool is_printable(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= ' ' && c <= '~'; });
}

// A number, or a number written as a string (some endpoints do).
long long number_member(const Json& json, const char* name, long long fallback) {
  const auto found = json.find(name);
  if (found == json.end()) return fallback;
  if (found->is_number_integer()) return found->get<long long>();
  if (found->is_number_float()) {
    const double value = found->get<double>();
    return value >= 0 && value < 1e12 ? static_cast<long long>(value) : fallback;
  }
  if (!found->is_string()) return fallback;
  const std::string text = found->get<std::string>();
  if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos)
    return fallback;
  return std::stoll(text);
}

bool read_error(const Json& json, TokenReply* reply) {
  reply->error = printable(text_member(json, "error"), kErrorMost);
  reply->error_description = printable(text_member(json, "error_description"), kDescriptionMost);
  return !reply->error.empty();
}

}  // namespace

std::string printable(std::string_view text, std::size_t most) {
  std::string out;
  for (char c : text) {
    if (out.size() == most) break;
    if (c >= ' ' && c <= '~') out += c;
  }
  return out;
}

int read_token_reply(std::string_view body, TokenReply* reply) {
  Json json;
  if (!parse_object(body, &json)) return kReplyNotJson;
  if (read_error(json, reply)) return kReplyError;
  reply->access_token = secret_member(&json, "access_token");
  reply->refresh_token = secret_member(&json, "refresh_token");
  reply->expires_in = std::max(0LL, number_member(json, "expires_in", 3600));
  // The token goes into an SMTP command line: printable characters only.
  if (reply->access_token.empty() || !is_printable(reply->access_token.view()))
    return kReplyNoToken;
  // A refresh token that could not be stored on one line is dropped.
  if (!is_printable(reply->refresh_token.view())) reply->refresh_token.clear();
  return 0;
}

int read_device_reply(std::string_view body, DeviceReply* reply, TokenReply* error) {
  Json json;
  if (!parse_object(body, &json)) return kReplyNotJson;
  if (read_error(json, error)) return kReplyError;
  reply->device_code = secret_member(&json, "device_code");
  reply->user_code = printable(text_member(json, "user_code"), 64);
  const std::string uri = text_member(json, "verification_uri");
  reply->verification_uri =
      printable(uri.empty() ? text_member(json, "verification_url") : uri, 512);
  reply->expires_in = number_member(json, "expires_in", 900);
  reply->interval = std::max(1LL, number_member(json, "interval", 5));
  if (reply->device_code.empty() || reply->user_code.empty() || reply->verification_uri.empty())
    return kReplyNoToken;
  return 0;
}

int read_service_account_key(std::string_view text, ServiceAccountKey* key) {
  Json json;
  if (!parse_object(text, &json)) return -1;
  key->client_email = text_member(json, "client_email");
  key->private_key = secret_member(&json, "private_key");
  key->private_key_id = text_member(json, "private_key_id");
  key->token_uri = text_member(json, "token_uri");
  return key->client_email.empty() || key->private_key.empty() ? -1 : 0;
}

std::string json_object(const std::vector<JsonMember>& members) {
  std::string out = "{";
  for (const JsonMember& member : members) {
    if (out.size() > 1) out += ',';
    out += Json(member.name).dump() + ":";
    out += member.is_number
               ? std::to_string(member.number)
               : Json(member.text).dump(-1, ' ', false, Json::error_handler_t::replace);
  }
  return out + "}";
}
