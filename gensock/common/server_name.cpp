#include "server_name.h"

#include <cstring>

#include "common/ascii.h"

namespace gensock_common {

namespace {

constexpr unsigned long kLargestPort = 65535;
// Submission over implicit TLS (RFC 8314).
constexpr char kImplicitTlsPort[] = "465";

struct Scheme {
  const char* prefix;
  Transport transport;
};
constexpr Scheme kSchemes[] = {{"smtps://", Transport::kImplicitTls},
                               {"starttls://", Transport::kStartTls}};

// The transport named by a scheme in front of name; *rest is what follows it.
Transport take_scheme(const char* name, const char** rest) {
  for (const Scheme& scheme : kSchemes) {
    if (starts_with_nocase(name, scheme.prefix)) {
      std::size_t length = std::strlen(scheme.prefix);
      *rest = name + length;
      return scheme.transport;
    }
  }
  *rest = name;
  return Transport::kPlain;
}

bool is_port(const std::string& text) {
  if (text.empty() || text.size() > 5) return false;
  unsigned long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  return value >= 1 && value <= kLargestPort;
}

bool split_bracketed(const std::string& name, ServerName* out) {
  std::string::size_type close = name.find(']');
  if (close == std::string::npos) return false;
  out->host = name.substr(1, close - 1);
  std::string rest = name.substr(close + 1);
  if (rest.empty()) return !out->host.empty();
  if (rest[0] != ':') return false;
  out->port = rest.substr(1);
  return !out->host.empty() && is_port(out->port);
}

bool split_host_port(const std::string& text, ServerName* out) {
  if (!text.empty() && text[0] == '[') return split_bracketed(text, out);
  std::string::size_type colon = text.find(':');
  if (colon == std::string::npos || text.find(':', colon + 1) != std::string::npos) {
    out->host = text;  // no colon, or a bare IPv6 address
    return !text.empty();
  }
  out->host = text.substr(0, colon);
  out->port = text.substr(colon + 1);
  return !out->host.empty() && is_port(out->port);
}

}  // namespace

bool split_server_name(const char* name, ServerName* out) {
  const char* rest = nullptr;
  out->transport = take_scheme(name, &rest);
  out->host.clear();
  out->port.clear();
  if (!split_host_port(rest, out)) return false;
  if (out->transport == Transport::kImplicitTls && out->port.empty()) out->port = kImplicitTlsPort;
  return true;
}

}  // namespace gensock_common
