// The server name of -server, which quib hands to gensock_connect as typed:
// its transport, host and port. Header-only and shared, so that the login's
// checks and the connection read a name alike.
#pragma once

#include <string>
#include <string_view>

#include "common/ascii.h"

// How the dialogue travels: as typed ("host"), inside TLS from the first
// byte ("smtps://host"), or upgraded by STARTTLS ("starttls://host").
enum class ServerTransport { kPlain, kSmtps, kStarttls };

struct ServerName {
  ServerTransport transport = ServerTransport::kPlain;
  std::string host;  // without brackets
  std::string port;  // digits as typed; empty: none given
};

// 1 to 65535, digits only.
inline bool is_server_port(std::string_view text) {
  if (text.empty() || text.size() > 5) return false;
  unsigned long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  return value >= 1 && value <= 65535;
}

// "host:port" and "[v6-address]:port" carry a port; "host", "[v6-address]"
// and a bare IPv6 address such as "::1" do not. "smtps://" and "starttls://"
// (any case) in front choose the transport; smtps:// without a port means 465
// (RFC 8314). False when the name is malformed or empty; out->host is then
// what a bracketed name held, else empty.
inline bool split_server_name(std::string_view name, ServerName* out) {
  *out = ServerName();
  if (starts_with_nocase(name, "smtps://")) {
    out->transport = ServerTransport::kSmtps;
    name.remove_prefix(8);
  } else if (starts_with_nocase(name, "starttls://")) {
    out->transport = ServerTransport::kStarttls;
    name.remove_prefix(11);
  }
  std::string_view port;
  if (!name.empty() && name[0] == '[') {
    const std::size_t close = name.find(']');
    if (close == std::string_view::npos) return false;
    out->host = std::string(name.substr(1, close - 1));
    const std::string_view rest = name.substr(close + 1);
    if (!rest.empty() && (rest[0] != ':' || !is_server_port(rest.substr(1)))) return false;
    if (!rest.empty()) port = rest.substr(1);
  } else {
    const std::size_t colon = name.find(':');
    if (colon != std::string_view::npos && name.find(':', colon + 1) == std::string_view::npos) {
      if (!is_server_port(name.substr(colon + 1))) return false;
      port = name.substr(colon + 1);
      name = name.substr(0, colon);
    }
    out->host = std::string(name);
  }
  out->port = std::string(port);
  if (out->transport == ServerTransport::kSmtps && out->port.empty()) out->port = "465";
  return !out->host.empty();
}
