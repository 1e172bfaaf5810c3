// Inner parts of the Winsock socket library, shared by its source files.
// Sockets are non-blocking; every wait is a select() with the caller's limit.
#pragma once

#include <winsock2.h>

#include <cstddef>
#include <string>

namespace gensock_win32 {

// Waits in milliseconds.
struct Timeouts {
  int connect_ms;
  int read_ms;  // each wait for received data
  int send_ms;  // each wait for room to send
};

// Defaults, or GENSOCK_TIMEOUT seconds for every wait when it is set to a
// positive whole number.
Timeouts timeouts_from_environment();

// Winsock counts its users: each successful start is matched by one stop.
// 0, or GENSOCK_ERR_INIT / GENSOCK_ERR_WINSOCK_VERSION.
int start_winsock();
void stop_winsock();

// The decimal port of a service name or number; 0, or GENSOCK_ERR_RESOLVE_SERVICE.
int resolve_service(const char* service, std::string* port);

// Connects a new socket to host on port (decimal text), trying every address
// the host resolves to in order. 0 with *sock set, or a transport code.
int connect_socket(const std::string& host, const std::string& port, int timeout_ms,
                   SOCKET* sock);

// Sends every byte, waiting at most send_ms each time the socket is full.
// 0, or GENSOCK_ERR_SEND.
int send_all(SOCKET sock, const char* data, std::size_t length, int send_ms);

// Receives at least one byte into buffer, waiting at most read_ms.
// 0 with *received set, or GENSOCK_ERR_WAIT, _DROPPED or _READ.
int receive_some(SOCKET sock, char* buffer, std::size_t size, int read_ms,
                 std::size_t* received);

// Closes the socket. 0, or GENSOCK_ERR_CLOSE.
int close_socket(SOCKET sock);

// The host name of this machine, NUL-terminated in name. 0, or a transport code.
int local_host_name(char* name, int size);

}  // namespace gensock_win32
