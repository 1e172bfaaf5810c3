#include "resolve.h"

#include "gensock.h"
#include "socket_headers.h"
#include "trace.h"

namespace gensock_common {

int service_port(const char* service, std::string* port) {
  addrinfo hints = {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  if (service == nullptr || *service == '\0' ||
      getaddrinfo(nullptr, service, &hints, &found) != 0 || found == nullptr) {
    return GENSOCK_ERR_RESOLVE_SERVICE;
  }
  const sockaddr_in* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  *port = std::to_string(ntohs(address->sin_port));
  freeaddrinfo(found);
  return 0;
}

namespace {

// The address as numbers, for the trace: "192.0.2.1", "2001:db8::1".
std::string numeric_address(const addrinfo* address) {
  char text[NI_MAXHOST] = {};
  if (getnameinfo(address->ai_addr, static_cast<socklen_t>(address->ai_addrlen), text, sizeof text,
                  nullptr, 0, NI_NUMERICHOST) != 0) {
    return "(an address)";
  }
  return text;
}

std::string connect_outcome(int code) {
  switch (code) {
    case 0:
      return "connected";
    case GENSOCK_ERR_REFUSED:
      return "refused (4017)";
    case GENSOCK_ERR_CONNECT:
      return "timed out or unreachable (4015)";
    default:
      return "no socket (" + std::to_string(code) + ")";
  }
}

void trace_addresses(const std::string& host, const addrinfo* found) {
  std::string line = host + " resolves to";
  const char* separator = " ";
  for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
    line += separator + numeric_address(address);
    separator = ", ";
  }
  trace(line);
}

}  // namespace

int connect_host(const std::string& host, const std::string& port, int timeout_ms,
                 gensock_os::Socket* sock) {
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  // An address literal needs no lookup: taken as it stands, without the
  // resolver's helper thread, which costs more than the rest of a short run.
  addrinfo numeric = hints;
  numeric.ai_flags |= AI_NUMERICHOST;
  if (getaddrinfo(host.c_str(), port.c_str(), &numeric, &found) != 0 &&
      gensock_os::os_resolve(host, port, &hints, timeout_ms, &found) != 0) {
    if (tracing()) trace(host + " does not resolve (4007)");
    return GENSOCK_ERR_RESOLVE_HOST;
  }
  if (tracing()) trace_addresses(host, found);
  int code = GENSOCK_ERR_RESOLVE_HOST;  // when the list is empty
  for (const addrinfo* address = found; address != nullptr && code != 0;
       address = address->ai_next) {
    code = gensock_os::os_connect_address(address, timeout_ms, sock);
    if (tracing()) {
      trace("connecting to " + numeric_address(address) + " port " + port + ": " +
            connect_outcome(code));
    }
  }
  freeaddrinfo(found);
  return code;
}

}  // namespace gensock_common
