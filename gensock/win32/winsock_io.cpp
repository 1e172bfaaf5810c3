// Winsock 2: start and stop, name resolution, connecting, sending and
// receiving with time limits.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gensock.h"
#include "winsock_io.h"

namespace gensock_win32 {

namespace {

// RFC 5321 4.5.3.2 asks clients to wait minutes: 5 for most replies, 10 for
// the reply to the end of the data, 3 for each block of data sent.
constexpr int kDefaultConnectSeconds = 60;
constexpr int kDefaultReadSeconds = 600;
constexpr int kDefaultSendSeconds = 180;
// A day: longer waits are read as mistakes and capped (also keeps the
// milliseconds within an int).
constexpr long kLongestTimeoutSeconds = 86400;
// Winsock host names fit 256 bytes with their NUL.
constexpr int kHostNameBytes = 256;

int seconds_from_environment() {
  const char* text = std::getenv("GENSOCK_TIMEOUT");
  if (text == nullptr || *text == '\0') return 0;
  char* end = nullptr;
  long seconds = std::strtol(text, &end, 10);
  if (*end != '\0' || seconds <= 0) return 0;
  return static_cast<int>(seconds < kLongestTimeoutSeconds ? seconds : kLongestTimeoutSeconds);
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

Timeouts timeouts_from_environment() {
  int seconds = seconds_from_environment();
  if (seconds > 0) return Timeouts{seconds * 1000, seconds * 1000, seconds * 1000};
  return Timeouts{kDefaultConnectSeconds * 1000, kDefaultReadSeconds * 1000,
                  kDefaultSendSeconds * 1000};
}

int start_winsock() {
  WSADATA data = {};
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return GENSOCK_ERR_INIT;
  if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
    WSACleanup();
    return GENSOCK_ERR_WINSOCK_VERSION;
  }
  return 0;
}

void stop_winsock() { WSACleanup(); }

int resolve_service(const char* service, std::string* port) {
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

int connect_socket(const std::string& host, const std::string& port, int timeout_ms,
                   SOCKET* sock) {
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) {
    return GENSOCK_ERR_RESOLVE_HOST;
  }
  int code = GENSOCK_ERR_RESOLVE_HOST;  // when the list is empty
  for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
    SOCKET candidate = make_socket(address);
    if (candidate == INVALID_SOCKET) {
      code = GENSOCK_ERR_SOCKET;
      continue;
    }
    code = connect_one(candidate, address, timeout_ms);
    if (code == 0) {
      *sock = candidate;
      break;
    }
    closesocket(candidate);
  }
  freeaddrinfo(found);
  return code;
}

int send_all(SOCKET sock, const char* data, std::size_t length, int send_ms) {
  // send() counts in int; larger runs go out in pieces.
  constexpr std::size_t kLargestSend = 1u << 30;
  while (length > 0) {
    int piece = static_cast<int>(length < kLargestSend ? length : kLargestSend);
    int sent = send(sock, data, piece, 0);
    if (sent > 0) {
      data += sent;
      length -= static_cast<std::size_t>(sent);
      continue;
    }
    if (sent == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK &&
        wait_for(sock, true, send_ms) == 1) {
      continue;
    }
    return GENSOCK_ERR_SEND;
  }
  return 0;
}

int receive_some(SOCKET sock, char* buffer, std::size_t size, int read_ms,
                 std::size_t* received) {
  int wanted = static_cast<int>(size);
  for (;;) {
    int got = recv(sock, buffer, wanted, 0);
    if (got > 0) {
      *received = static_cast<std::size_t>(got);
      return 0;
    }
    if (got == 0) return GENSOCK_ERR_DROPPED;
    int error = WSAGetLastError();
    if (error == WSAECONNRESET || error == WSAECONNABORTED) return GENSOCK_ERR_DROPPED;
    if (error != WSAEWOULDBLOCK) return GENSOCK_ERR_READ;
    int ready = wait_for(sock, false, read_ms);
    if (ready == 0) return GENSOCK_ERR_WAIT;
    if (ready < 0) return GENSOCK_ERR_READ;
  }
}

int close_socket(SOCKET sock) { return closesocket(sock) == 0 ? 0 : GENSOCK_ERR_CLOSE; }

// A name longer than size is cut to fit, as on other systems; one that
// cannot be had becomes "localhost".
int local_host_name(char* name, int size) {
  if (name == nullptr || size <= 1) return GENSOCK_ERR_MALLOC;
  int code = start_winsock();
  if (code != 0) return code;
  char full[kHostNameBytes] = {};
  if (gethostname(full, sizeof full) != 0) full[0] = '\0';
  stop_winsock();
  full[sizeof full - 1] = '\0';
  std::snprintf(name, static_cast<std::size_t>(size), "%s", full[0] != '\0' ? full : "localhost");
  return 0;
}

}  // namespace gensock_win32
