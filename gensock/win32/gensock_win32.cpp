// The socket library over Winsock 2. Connections live in a table; a handle
// is the slot's index + 1, so that 0 is never a valid handle.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "gensock.h"
#include "host_port.h"

namespace {

// Bytes gathered by gensock_put_data_buffered before they go out: a few TCP
// segments, so that a message sent one character per call is not one
// segment per character.
constexpr std::size_t kSendBufferBytes = 8192;
// Bytes taken from the socket per recv; gensock_getchar hands them out one
// at a time.
constexpr int kReceiveBufferBytes = 4096;
// Seconds to wait for a connection, a byte or room to send, unless
// GENSOCK_TIMEOUT names another count.
constexpr long kDefaultTimeoutSeconds = 60;

struct Connection {
  SOCKET sock = INVALID_SOCKET;
  std::string pending;  // buffered bytes not yet sent
  char received[kReceiveBufferBytes];
  int received_count = 0;
  int received_next = 0;
};

std::vector<std::unique_ptr<Connection>> g_connections;

long timeout_seconds() {
  const char* text = std::getenv("GENSOCK_TIMEOUT");
  if (text == nullptr || *text == '\0') return kDefaultTimeoutSeconds;
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  return (*end != '\0' || value <= 0) ? kDefaultTimeoutSeconds : value;
}

timeval timeout_value() {
  timeval tv{};
  tv.tv_sec = timeout_seconds();
  return tv;
}

// Winsock counts its users: every connection and every host-name request
// holds one start, released by WSACleanup.
int start_winsock() {
  WSADATA data{};
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return GENSOCK_ERR_INIT;
  if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
    WSACleanup();
    return GENSOCK_ERR_WINSOCK_VERSION;
  }
  return 0;
}

Connection* find(gensock_handle_t handle) {
  if (handle == 0 || handle > g_connections.size()) return nullptr;
  return g_connections[handle - 1].get();
}

// Stores the connection in the first free slot; 0 when there is no memory.
gensock_handle_t remember(Connection* connection) {
  for (std::size_t i = 0; i < g_connections.size(); ++i) {
    if (!g_connections[i]) {
      g_connections[i].reset(connection);
      return static_cast<gensock_handle_t>(i + 1);
    }
  }
  try {
    g_connections.emplace_back(connection);
  } catch (const std::bad_alloc&) {
    delete connection;
    return 0;
  }
  return static_cast<gensock_handle_t>(g_connections.size());
}

int resolve(const std::string& host, const std::string& port, addrinfo** list) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* probe = nullptr;
  // The service alone first, so that an unknown service is told apart from
  // an unknown host.
  if (port.empty() || getaddrinfo(nullptr, port.c_str(), &hints, &probe) != 0) {
    return GENSOCK_ERR_RESOLVE_SERVICE;
  }
  freeaddrinfo(probe);
  hints.ai_flags = 0;
  if (host.empty() || getaddrinfo(host.c_str(), port.c_str(), &hints, list) != 0) {
    return GENSOCK_ERR_RESOLVE_HOST;
  }
  return 0;
}

// Connects without blocking and waits up to the timeout for the outcome.
int connect_with_timeout(SOCKET sock, const addrinfo* address) {
  u_long non_blocking = 1;
  ioctlsocket(sock, FIONBIO, &non_blocking);
  if (connect(sock, address->ai_addr, static_cast<int>(address->ai_addrlen)) == SOCKET_ERROR) {
    int error = WSAGetLastError();
    if (error == WSAECONNREFUSED) return GENSOCK_ERR_REFUSED;
    if (error != WSAEWOULDBLOCK) return GENSOCK_ERR_CONNECT;
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(sock, &writable);
    FD_SET(sock, &failed);
    timeval tv = timeout_value();
    if (select(0, nullptr, &writable, &failed, &tv) <= 0) return GENSOCK_ERR_CONNECT;
    int so_error = 0;
    int length = sizeof so_error;
    getsockopt(sock, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &length);
    if (so_error == WSAECONNREFUSED) return GENSOCK_ERR_REFUSED;
    if (so_error != 0 || FD_ISSET(sock, &failed)) return GENSOCK_ERR_CONNECT;
  }
  non_blocking = 0;
  ioctlsocket(sock, FIONBIO, &non_blocking);
  DWORD send_ms = static_cast<DWORD>(timeout_seconds() * 1000);
  setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&send_ms),
             sizeof send_ms);
  return 0;
}

// Tries every address in turn; the last failure is the result.
int connect_any(const addrinfo* list, SOCKET* out) {
  int result = GENSOCK_ERR_SOCKET;
  for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
    SOCKET sock = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (sock == INVALID_SOCKET) continue;
    result = connect_with_timeout(sock, a);
    if (result == 0) {
      *out = sock;
      return 0;
    }
    closesocket(sock);
  }
  return result;
}

int open_connection(const char* hostname, const char* service, SOCKET* sock) {
  std::string host, port;
  split_host_port(hostname, service, &host, &port);
  addrinfo* list = nullptr;
  int result = resolve(host, port, &list);
  if (result != 0) return result;
  result = connect_any(list, sock);
  freeaddrinfo(list);
  return result;
}

int send_all(SOCKET sock, const char* data, std::size_t length) {
  while (length > 0) {
    int chunk = length > 0x40000000u ? 0x40000000 : static_cast<int>(length);
    int sent = send(sock, data, chunk, 0);
    if (sent == SOCKET_ERROR || sent == 0) return GENSOCK_ERR_SEND;
    data += sent;
    length -= static_cast<std::size_t>(sent);
  }
  return 0;
}

int flush_pending(Connection* c) {
  if (c->pending.empty()) return 0;
  int result = send_all(c->sock, c->pending.data(), c->pending.size());
  c->pending.clear();
  return result;
}

// Fills the receive buffer, waiting up to the timeout for the first byte.
int receive_more(Connection* c) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(c->sock, &readable);
  timeval tv = timeout_value();
  int ready = select(0, &readable, nullptr, nullptr, &tv);
  if (ready == 0) return GENSOCK_ERR_WAIT;
  if (ready == SOCKET_ERROR) return GENSOCK_ERR_READ;
  int count = recv(c->sock, c->received, kReceiveBufferBytes, 0);
  if (count == 0) return GENSOCK_ERR_DROPPED;
  if (count == SOCKET_ERROR) {
    int error = WSAGetLastError();
    bool dropped = error == WSAECONNRESET || error == WSAECONNABORTED;
    return dropped ? GENSOCK_ERR_DROPPED : GENSOCK_ERR_READ;
  }
  c->received_count = count;
  c->received_next = 0;
  return 0;
}

}  // namespace

extern "C" {

GENSOCK_API int gensock_connect(const char* hostname, const char* service,
                                gensock_handle_t* handle) {
  if (hostname == nullptr || service == nullptr || handle == nullptr) {
    return GENSOCK_ERR_RESOLVE_HOST;
  }
  int result = start_winsock();
  if (result != 0) return result;
  SOCKET sock = INVALID_SOCKET;
  result = open_connection(hostname, service, &sock);
  if (result != 0) {
    WSACleanup();
    return result;
  }
  Connection* c = new (std::nothrow) Connection;
  gensock_handle_t h = c == nullptr ? 0 : remember(c);
  if (h == 0) {
    closesocket(sock);
    WSACleanup();
    return GENSOCK_ERR_MALLOC;
  }
  c->sock = sock;
  *handle = h;
  return 0;
}

GENSOCK_API int gensock_getchar(gensock_handle_t handle, int /*wait*/, char* ch) {
  Connection* c = find(handle);
  if (c == nullptr) return GENSOCK_ERR_NOT_A_SOCKET;
  if (c->received_next == c->received_count) {
    int result = receive_more(c);
    if (result != 0) return result;
  }
  *ch = c->received[c->received_next++];
  return 0;
}

GENSOCK_API int gensock_put_data(gensock_handle_t handle, const char* data,
                                 unsigned long length) {
  Connection* c = find(handle);
  if (c == nullptr) return GENSOCK_ERR_NOT_A_SOCKET;
  int result = flush_pending(c);
  return result != 0 ? result : send_all(c->sock, data, length);
}

GENSOCK_API int gensock_put_data_buffered(gensock_handle_t handle, const char* data,
                                          unsigned long length) {
  Connection* c = find(handle);
  if (c == nullptr) return GENSOCK_ERR_NOT_A_SOCKET;
  if (c->pending.size() + length > kSendBufferBytes) {
    int result = flush_pending(c);
    if (result != 0) return result;
    if (length >= kSendBufferBytes) return send_all(c->sock, data, length);
  }
  try {
    c->pending.append(data, length);
  } catch (const std::bad_alloc&) {
    return GENSOCK_ERR_MALLOC;
  }
  return 0;
}

GENSOCK_API int gensock_put_data_flush(gensock_handle_t handle) {
  Connection* c = find(handle);
  if (c == nullptr) return GENSOCK_ERR_NOT_A_SOCKET;
  return flush_pending(c);
}

GENSOCK_API int gensock_close(gensock_handle_t handle) {
  Connection* c = find(handle);
  if (c == nullptr) return GENSOCK_ERR_NOT_A_SOCKET;
  int closed = closesocket(c->sock);
  g_connections[handle - 1].reset();
  WSACleanup();
  return closed == SOCKET_ERROR ? GENSOCK_ERR_CLOSE : 0;
}

GENSOCK_API int gensock_gethostname(char* name, int size) {
  if (name == nullptr || size <= 0) return GENSOCK_ERR_MALLOC;
  int result = start_winsock();
  if (result != 0) return result;
  bool failed = gethostname(name, size) == SOCKET_ERROR;
  WSACleanup();
  if (failed) name[0] = '\0';
  return failed ? GENSOCK_ERR_NOT_READY : 0;
}

}  // extern "C"
