#include "resolve.h"

#include "gensock.h"
#include "socket_headers.h"

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
    return GENSOCK_ERR_RESOLVE_HOST;
  }
  int code = GENSOCK_ERR_RESOLVE_HOST;  // when the list is empty
  for (const addrinfo* address = found; address != nullptr && code != 0;
       address = address->ai_next) {
    code = gensock_os::os_connect_address(address, timeout_ms, sock);
  }
  freeaddrinfo(found);
  return code;
}

}  // namespace gensock_common
