// What the shared library needs from the operating system: the only calls
// that differ between BSD sockets (posix/socket_io.cpp) and Winsock 2
// (win32/winsock_io.cpp). Sockets are non-blocking; every wait has a limit.
// Each function returns 0 or a transport error code (gensock.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace gensock_os {

// Wide enough for a POSIX descriptor and a Winsock SOCKET alike.
using Socket = std::intptr_t;

// Starts the socket layer for one user (a connection, or one host-name
// query); each successful start is matched by one os_stop. 0, or
// GENSOCK_ERR_INIT / GENSOCK_ERR_WINSOCK_VERSION.
int os_start();
void os_stop();

// The decimal port of a service name or number. 0, or GENSOCK_ERR_RESOLVE_SERVICE.
int os_service_port(const char* service, std::string* port);

// Connects a new socket to host on port (decimal text), trying every address
// the host resolves to (IPv4 and IPv6) in order, waiting at most timeout_ms
// for each; the first that connects is kept, else the code of the last
// attempt is returned. 0 with *sock set, or GENSOCK_ERR_RESOLVE_HOST,
// _SOCKET, _REFUSED or _CONNECT.
int os_connect(const std::string& host, const std::string& port, int timeout_ms, Socket* sock);

// Sends every byte, waiting at most send_ms each time the socket is full.
// 0, or GENSOCK_ERR_SEND.
int os_send_all(Socket sock, const char* data, std::size_t length, int send_ms);

// Waits at most read_ms for data, then receives at least one byte into
// buffer. 0 with *received set, or GENSOCK_ERR_WAIT, _DROPPED or _READ.
int os_receive_some(Socket sock, char* buffer, std::size_t size, int read_ms,
                    std::size_t* received);

// Closes the socket. 0, or GENSOCK_ERR_CLOSE.
int os_close(Socket sock);

// This machine's host name, whole; empty when it cannot be had. Needs os_start.
std::string os_host_name();

}  // namespace gensock_os
