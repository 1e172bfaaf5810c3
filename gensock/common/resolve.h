// Resolving service and host names with getaddrinfo, which BSD sockets and
// Winsock 2 declare alike (each folder's socket_headers.h brings it in).
#pragma once

#include <string>

#include "socket_os.h"

namespace gensock_common {

// The decimal port of a service name or number. 0, or GENSOCK_ERR_RESOLVE_SERVICE.
int service_port(const char* service, std::string* port);

// Connects a new socket to host on port (decimal text), trying every address
// the host resolves to (IPv4 and IPv6) in order, waiting at most timeout_ms
// for each; the first that connects is kept, else the code of the last
// attempt is returned. 0 with *sock set, or GENSOCK_ERR_RESOLVE_HOST,
// _SOCKET, _REFUSED or _CONNECT.
int connect_host(const std::string& host, const std::string& port, int timeout_ms,
                 gensock_os::Socket* sock);

}  // namespace gensock_common
