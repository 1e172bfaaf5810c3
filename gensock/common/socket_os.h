// What the shared library needs from the operating system: the calls that
// differ between BSD sockets (posix/socket_io.cpp) and Winsock 2
// (win32/winsock_io.cpp). Name resolution, the same on both, is in
// resolve.cpp. Sockets are non-blocking; every wait has a limit. Each
// function returns 0 or a transport error code (gensock.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct addrinfo;  // from the system headers; resolve.cpp makes the lists

namespace gensock_os {

// Wide enough for a POSIX descriptor and a Winsock SOCKET alike.
using Socket = std::intptr_t;

// Starts the socket layer for one user (a connection, or one host-name
// query); each successful start is matched by one os_stop. 0, or
// GENSOCK_ERR_INIT / GENSOCK_ERR_WINSOCK_VERSION.
int os_start();
void os_stop();

// A new non-blocking socket connected to one resolved address, waiting at
// most timeout_ms. 0 with *sock set, or GENSOCK_ERR_SOCKET, _REFUSED or
// _CONNECT; on failure no socket is left open.
int os_connect_address(const addrinfo* address, int timeout_ms, Socket* sock);

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

// The address literal of the socket's local end, as a HELO argument:
// "[192.0.2.1]" or "[IPv6:2001:db8::1]"; empty when it cannot be had.
std::string os_local_literal(Socket sock);

// The numeric address of the socket's peer, as the system writes it
// ("192.0.2.1", "::1", "::ffff:127.0.0.1"); empty when it cannot be had.
std::string os_peer_address(Socket sock);

// Resolves host and port (decimal text) with getaddrinfo and hints, giving
// up after timeout_ms where the system lets a lookup be abandoned. 0 with
// *found set (freed with freeaddrinfo), or GENSOCK_ERR_RESOLVE_HOST.
int os_resolve(const std::string& host, const std::string& port, const addrinfo* hints,
               int timeout_ms, addrinfo** found);

}  // namespace gensock_os
