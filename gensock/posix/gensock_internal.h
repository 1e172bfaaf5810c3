// Inner parts of the POSIX socket library, shared by its source files.
#pragma once

#include <cstddef>
#include <string>

#include "gensock.h"

namespace gensock {

// One receive per buffer, not per byte: replies arrive whole in one read.
constexpr std::size_t kReceiveBufferBytes = 64 * 1024;
// Large enough that a 64 MiB body costs about a thousand send calls; runs
// longer than what is free go out in place instead of being copied.
constexpr std::size_t kSendBufferBytes = 64 * 1024;

// Waits in milliseconds.
struct Timeouts {
  int connect_ms;
  int read_ms;  // each wait for received data
  int send_ms;  // each wait for room to send
};

// Defaults, or GENSOCK_TIMEOUT seconds for every wait when it is set to a
// positive whole number.
Timeouts timeouts_from_environment();

// A server name split into host and port. "host:port" and
// "[v6-address]:port" carry a port; "host", "[v6-address]" and a bare IPv6
// address such as "::1" do not. Returns false when the name is malformed.
struct ServerName {
  std::string host;
  std::string port;  // empty: none given
};
bool split_server_name(const char* name, ServerName* out);

// Connects a new socket to host on port (decimal text). Tries every address
// the host resolves to, in order. 0 with *fd set, or a transport code.
int connect_socket(const std::string& host, const std::string& port, int timeout_ms, int* fd);

// The decimal port of a service name or number; 0, or GENSOCK_ERR_RESOLVE_SERVICE.
int resolve_service(const char* service, std::string* port);

// Sends every byte, waiting at most send_ms each time the socket is full.
// 0, or GENSOCK_ERR_SEND.
int send_all(int fd, const char* data, std::size_t length, int send_ms);

// Receives at least one byte into buffer, waiting at most read_ms.
// 0 with *received set, or GENSOCK_ERR_WAIT, _DROPPED or _READ.
int receive_some(int fd, char* buffer, std::size_t size, int read_ms, std::size_t* received);

// Closes the socket. 0, or GENSOCK_ERR_CLOSE.
int close_socket(int fd);

// The host name of this machine, NUL-terminated in name. 0, or a transport code.
int local_host_name(char* name, int size);

}  // namespace gensock
