#include "smtp/sasl.h"

#include <cstddef>
#include <cstdlib>

#include "common/ascii.h"
#include "message/base64.h"

namespace {

// A SASL mechanism name is at most 20 of these (RFC 4422 3.1).
constexpr std::size_t kMechanismNameBytes = 20;
// How much of a server's reply a refusal shows.
constexpr std::size_t kShownReplyBytes = 200;

struct Named {
  SaslMechanism mechanism;
  const char* name;
};
const Named kMechanisms[] = {
    {SaslMechanism::kPlain, "PLAIN"},
    {SaslMechanism::kLogin, "LOGIN"},
    {SaslMechanism::kXoauth2, "XOAUTH2"},
    {SaslMechanism::kOauthbearer, "OAUTHBEARER"},
};

bool is_mechanism_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// A decimal number of 1 to 3 digits no greater than 255, or -1.
int octet(std::string_view text) {
  if (text.empty() || text.size() > 3) return -1;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value > 255 ? -1 : value;
}

// RFC 5801 saslname: "," and "=" written as "=2C" and "=3D".
std::string sasl_name(std::string_view user) {
  std::string out;
  for (char c : user) {
    if (c == ',') {
      out += "=2C";
    } else if (c == '=') {
      out += "=3D";
    } else {
      out += c;
    }
  }
  return out;
}

// The message in base64; the message itself is wiped.
std::string encoded_and_wiped(std::string* message) {
  std::string encoded = base64_encode(*message);
  wipe_secret(message);
  return encoded;
}

// The token mechanisms' end: ^A "auth=Bearer " token ^A ^A, then all in base64.
std::string bearer_encoded(std::string* message, std::string_view token) {
  *message +=
      "\x01"
      "auth=Bearer ";
  *message += token;
  *message += "\x01\x01";
  return encoded_and_wiped(message);
}

}  // namespace

SaslMechanism sasl_mechanism_named(std::string_view name) {
  for (const Named& named : kMechanisms) {
    if (equal_nocase(name, named.name)) return named.mechanism;
  }
  return SaslMechanism::kNone;
}

const char* sasl_mechanism_text(SaslMechanism mechanism) {
  for (const Named& named : kMechanisms) {
    if (named.mechanism == mechanism) return named.name;
  }
  return "";
}

std::vector<std::string> offered_mechanisms(const std::vector<std::string>& ehlo_lines) {
  std::vector<std::string> offered;
  for (std::size_t i = 1; i < ehlo_lines.size(); ++i) {
    const std::string& line = ehlo_lines[i];
    if (line.size() < 9 || !equal_nocase(std::string_view(line).substr(4, 4), "AUTH") ||
        (line[8] != ' ' && line[8] != '=')) {
      continue;
    }
    std::size_t at = 9;
    while (at < line.size()) {
      std::string name;
      bool valid = true;
      for (; at < line.size() && line[at] != ' '; ++at) {
        const char c = ascii_upper(line[at]);
        valid = valid && is_mechanism_char(c);
        name += c;
      }
      ++at;
      if (name.empty() || !valid || name.size() > kMechanismNameBytes) continue;
      bool seen = false;
      for (const std::string& known : offered) seen = seen || known == name;
      if (!seen) offered.push_back(name);
    }
  }
  return offered;
}

SaslMechanism choose_mechanism(const std::vector<std::string>& offered, SaslMechanism asked) {
  auto is_offered = [&offered](SaslMechanism mechanism) {
    for (const std::string& name : offered) {
      if (name == sasl_mechanism_text(mechanism)) return true;
    }
    return false;
  };
  if (asked != SaslMechanism::kNone) return is_offered(asked) ? asked : SaslMechanism::kNone;
  for (SaslMechanism usual : {SaslMechanism::kPlain, SaslMechanism::kLogin}) {
    if (is_offered(usual)) return usual;
  }
  return SaslMechanism::kNone;
}

std::string plain_response(std::string_view user, std::string_view secret) {
  std::string message;
  message.reserve(user.size() + secret.size() + 2);
  message += '\0';
  message += user;
  message += '\0';
  message += secret;
  return encoded_and_wiped(&message);
}

std::string xoauth2_response(std::string_view user, std::string_view token) {
  std::string message;
  message.reserve(user.size() + token.size() + 24);
  message += "user=";
  message += user;
  return bearer_encoded(&message, token);
}

std::string oauthbearer_response(std::string_view user, std::string_view host, int port,
                                 std::string_view token) {
  std::string message;
  message.reserve(user.size() * 3 + host.size() + token.size() + 48);
  message += "n,a=";
  message += sasl_name(user);
  message += ",\x01host=";
  message += host;
  message += "\x01port=";
  message += std::to_string(port);
  return bearer_encoded(&message, token);
}

void wipe_secret(std::string* text) {
  volatile char* at = text->empty() ? nullptr : &(*text)[0];
  for (std::size_t i = 0; i < text->size(); ++i) at[i] = '\0';
  text->clear();
}

bool parse_server_name(std::string_view name, ServerEndpoint* endpoint) {
  *endpoint = ServerEndpoint();
  ServerName split;
  const bool parsed = split_server_name(name, &split);
  endpoint->transport = split.transport;
  endpoint->host = split.host;
  if (!split.port.empty())
    endpoint->port = std::atoi(split.port.c_str());  // 1 to 65535, digits only
  return parsed;
}

bool is_loopback_host(std::string_view host) {
  return equal_nocase(host, "localhost") || is_loopback_address(host);
}

bool is_loopback_address(std::string_view host) {
  const std::string_view mapped = "::ffff:";
  if (host == "::1") return true;
  if (host.size() > mapped.size() && equal_nocase(host.substr(0, mapped.size()), mapped)) {
    host.remove_prefix(mapped.size());
  }
  int parts[4];
  for (int i = 0; i < 4; ++i) {
    const std::size_t dot = i < 3 ? host.find('.') : host.size();
    if (dot == std::string_view::npos) return false;
    parts[i] = octet(host.substr(0, dot));
    if (parts[i] < 0) return false;
    host.remove_prefix(i < 3 ? dot + 1 : dot);
  }
  return parts[0] == 127;
}

std::string login_refusal(const std::string& step, const std::vector<std::string>& reply_lines,
                          const std::string& why) {
  std::string reply = why;
  if (reply.empty()) {
    for (const std::string& line : reply_lines) {
      if (reply.empty()) {
        reply = line.substr(0, 3);
      }
      if (line.size() > 4) reply += " " + line.substr(4);
    }
  }
  std::string shown;
  for (char c : reply) {
    if (shown.size() == kShownReplyBytes) break;
    shown += c >= ' ' && c <= '~' ? c : '?';
  }
  return "Login failed at " + step + ": " + shown;
}
