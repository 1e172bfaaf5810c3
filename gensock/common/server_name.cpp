#include "server_name.h"

namespace gensock_common {

namespace {

constexpr unsigned long kLargestPort = 65535;

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

}  // namespace

bool split_server_name(const char* name, ServerName* out) {
  std::string text = name;
  out->host.clear();
  out->port.clear();
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

}  // namespace gensock_common
