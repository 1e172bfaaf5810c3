// Splitting the server name that gensock_connect takes into transport, host
// and port. No operating system calls: every backend can share it.
#pragma once

#include <string>

namespace gensock_common {

// How the dialogue travels: as typed ("host"), inside TLS from the first
// byte ("smtps://host"), or upgraded by STARTTLS ("starttls://host").
enum class Transport { kPlain, kImplicitTls, kStartTls };

// "host:port" and "[v6-address]:port" carry a port (1 to 65535, digits
// only); "host", "[v6-address]" and a bare IPv6 address such as "::1" do
// not. "smtps://" and "starttls://" (any case) in front choose the transport;
// smtps:// without a port means 465. Returns false when the name is
// malformed or empty.
struct ServerName {
  Transport transport = Transport::kPlain;
  std::string host;
  std::string port;  // empty: none given
};
bool split_server_name(const char* name, ServerName* out);

}  // namespace gensock_common
