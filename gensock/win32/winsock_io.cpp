// Winsock 2 behind socket_os.h. Sockets are non-blocking; every wait is a
// select() with the caller's limit.
#include "gensock.h"
#include "socket_headers.h"
#include "socket_os.h"

namespace gensock_os {

namespace {

// Winsock host names fit 256 bytes with their NUL.
constexpr int kHostNameBytes = 256;
// send() and recv() count in int; larger runs go out in pieces.
constexpr std::size_t kLargestTransfer = 1u << 30;

SOCKET native(Socket sock) { return static_cast<SOCKET>(sock); }

int int_size(std::size_t size) {
  return static_cast<int>(size < kLargestTransfer ? size : kLargestTransfer);
}

// Waits until sock can be written (for_write) or read, or has failed (a
// refused connection shows only in the failure set). 1 when ready, 0 on
// timeout, -1 on error.
int wait_for(SOCKET sock, bool for_write, int timeout_ms) {
  fd_set ready_set;
  fd_set failed_set;
  FD_ZERO(&ready_set);
  FD_ZERO(&failed_set);
  FD_SET(sock, &ready_set);
  FD_SET(sock, &failed_set);
  timeval limit = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  int ready = for_write ? select(0, nullptr, &ready_set, &failed_set, &limit)
                        : select(0, &ready_set, nullptr, &failed_set, &limit);
  if (ready == SOCKET_ERROR) return -1;
  return ready > 0 ? 1 : 0;
}

SOCKET make_socket(const addrinfo* address) {
  SOCKET sock = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
  if (sock == INVALID_SOCKET) return INVALID_SOCKET;
  u_long non_blocking = 1;
  if (ioctlsocket(sock, FIONBIO, &non_blocking) != 0) {
    closesocket(sock);
    return INVALID_SOCKET;
  }
  return sock;
}

int connect_error_code(int error) {
  if (error == WSAECONNREFUSED) return GENSOCK_ERR_REFUSED;
  return GENSOCK_ERR_CONNECT;  // timed out, unreachable, ...
}

// Connects sock to one address. 0, or a transport code. A refused
// connection shows in the failure set of select(), with SO_ERROR telling why.
int connect_one(SOCKET sock, const addrinfo* address, int timeout_ms) {
  if (connect(sock, address->ai_addr, static_cast<int>(address->ai_addrlen)) == 0) return 0;
  int error = WSAGetLastError();
  if (error != WSAEWOULDBLOCK) return connect_error_code(error);
  if (wait_for(sock, true, timeout_ms) <= 0) return GENSOCK_ERR_CONNECT;
  int so_error = 0;
  int size = sizeof so_error;
  if (getsockopt(sock, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &size) != 0) {
    return GENSOCK_ERR_CONNECT;
  }
  return so_error == 0 ? 0 : connect_error_code(so_error);
}

}  // namespace

int os_start() {
  WSADATA data = {};
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return GENSOCK_ERR_INIT;
  if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
    WSACleanup();
    return GENSOCK_ERR_WINSOCK_VERSION;
  }
  return 0;
}

void os_stop() { WSACleanup(); }

int os_connect_address(const addrinfo* address, int timeout_ms, Socket* sock) {
  SOCKET candidate = make_socket(address);
  if (candidate == INVALID_SOCKET) return GENSOCK_ERR_SOCKET;
  int code = connect_one(candidate, address, timeout_ms);
  if (code == 0) {
    *sock = static_cast<Socket>(candidate);
  } else {
    closesocket(candidate);
  }
  return code;
}

int os_send_all(Socket sock, const char* data, std::size_t length, int send_ms) {
  while (length > 0) {
    int sent = send(native(sock), data, int_size(length), 0);
    if (sent > 0) {
      data += sent;
      length -= static_cast<std::size_t>(sent);
      continue;
    }
    if (sent == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK &&
        wait_for(native(sock), true, send_ms) == 1) {
      continue;
    }
    return GENSOCK_ERR_SEND;
  }
  return 0;
}

int os_receive_some(Socket sock, char* buffer, std::size_t size, int read_ms,
                    std::size_t* received) {
  for (;;) {
    // A reply is rarely there yet when asked for: wait first, then read.
    int ready = wait_for(native(sock), false, read_ms);
    if (ready == 0) return GENSOCK_ERR_WAIT;
    if (ready < 0) return GENSOCK_ERR_READ;
    int got = recv(native(sock), buffer, int_size(size), 0);
    if (got > 0) {
      *received = static_cast<std::size_t>(got);
      return 0;
    }
    if (got == 0) return GENSOCK_ERR_DROPPED;
    int error = WSAGetLastError();
    if (error == WSAECONNRESET || error == WSAECONNABORTED) return GENSOCK_ERR_DROPPED;
    if (error != WSAEWOULDBLOCK) return GENSOCK_ERR_READ;
  }
}

int os_close(Socket sock) { return closesocket(native(sock)) == 0 ? 0 : GENSOCK_ERR_CLOSE; }

std::string os_host_name() {
  char name[kHostNameBytes] = {};
  if (gethostname(name, sizeof name) != 0) return std::string();
  name[sizeof name - 1] = '\0';
  return name;
}

// Windows's resolver keeps its own limits (a few seconds per server it
// asks); a lookup cannot be abandoned at a deadline here.
int os_resolve(const std::string& host, const std::string& port, const addrinfo* hints,
               int /*timeout_ms*/, addrinfo** found) {
  return getaddrinfo(host.c_str(), port.c_str(), hints, found) == 0 ? 0 : GENSOCK_ERR_RESOLVE_HOST;
}

namespace {

// The numeric form of an address that getsockname or getpeername filled.
std::string address_text(const sockaddr_storage& address, int size) {
  char text[NI_MAXHOST] = {};
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), size, text, sizeof text, nullptr, 0,
                  NI_NUMERICHOST) != 0) {
    return std::string();
  }
  return text;
}

}  // namespace

std::string os_local_literal(Socket sock) {
  sockaddr_storage local = {};
  int size = sizeof local;
  if (getsockname(native(sock), reinterpret_cast<sockaddr*>(&local), &size) != 0) {
    return std::string();
  }
  const std::string text = address_text(local, size);
  if (text.empty()) return text;
  return (local.ss_family == AF_INET ? "[" : "[IPv6:") + text + "]";
}

std::string os_peer_address(Socket sock) {
  sockaddr_storage peer = {};
  int size = sizeof peer;
  if (getpeername(native(sock), reinterpret_cast<sockaddr*>(&peer), &size) != 0) {
    return std::string();
  }
  return address_text(peer, size);
}

}  // namespace gensock_os
