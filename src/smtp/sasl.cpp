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

// Shorter base64 runs are too common to hide without hiding other text.
constexpr std::size_t kShortestHiddenRun = 4;

// The token mechanisms' end: ^A "auth=Bearer " token ^A ^A, then all in base64.
Secret bearer_encoded(Secret* message, std::string_view token) {
  message->append(
      "\x01"
      "auth=Bearer ");
  message->append(token);
  message->append("\x01\x01");
  return secret_base64(message->view());
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

bool is_auth_line(std::string_view line) {
  return line.size() >= 9 && equal_nocase(line.substr(4, 4), "AUTH") &&
         (line[8] == ' ' || line[8] == '=');
}

std::vector<std::string> offered_mechanisms(const std::vector<std::string>& ehlo_lines) {
  std::vector<std::string> offered;
  for (std::size_t i = 1; i < ehlo_lines.size(); ++i) {
    const std::string& line = ehlo_lines[i];
    if (!is_auth_line(line)) continue;
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

Secret secret_base64(std::string_view bytes) {
  std::string encoded = base64_encode(bytes);  // made at its size: adopted whole
  return Secret::adopt(&encoded);
}

Secret plain_response(std::string_view user, std::string_view secret) {
  Secret message;
  message.append('\0');
  message.append(user);
  message.append('\0');
  message.append(secret);
  return secret_base64(message.view());
}

Secret xoauth2_response(std::string_view user, std::string_view token) {
  Secret message("user=");
  message.append(user);
  return bearer_encoded(&message, token);
}

Secret oauthbearer_response(std::string_view user, std::string_view host, int port,
                            std::string_view token) {
  Secret message("n,a=");
  message.append(sasl_name(user));
  message.append(",\x01host=");
  message.append(host);
  message.append("\x01port=");
  message.append(std::to_string(port));
  return bearer_encoded(&message, token);
}

void HiddenTexts::hide(std::string_view text) {
  if (text.size() < kShortestHiddenRun) return;
  auto at = texts_.begin();
  while (at != texts_.end() && at->size() >= text.size()) ++at;
  texts_.insert(at, Secret(text));
}

void HiddenTexts::hide_secret(std::string_view secret) {
  // Inside a longer base64 text the secret starts at one of three offsets
  // in its group; only the characters that hold secret bits alone are kept.
  hide(secret);
  for (std::size_t offset = 0; offset < 3; ++offset) {
    Secret bytes(std::string(offset, '\0'));
    bytes.append(secret);
    const Secret encoded = secret_base64(bytes.view());
    const std::size_t first = (offset * 8 + 5) / 6;
    const std::size_t end = (offset + secret.size()) * 8 / 6;
    if (end > first) hide(encoded.view().substr(first, end - first));
  }
}

std::string HiddenTexts::applied_to(std::string_view server_text) const {
  std::string text(server_text);
  for (const Secret& hidden : texts_) {
    for (std::size_t at = text.find(hidden.view()); at != std::string::npos;
         at = text.find(hidden.view(), at + sizeof kCredentialsHidden - 1)) {
      text.replace(at, hidden.size(), kCredentialsHidden);
    }
  }
  return text;
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
