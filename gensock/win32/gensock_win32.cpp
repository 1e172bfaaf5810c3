// The seven entry points over a small table of connections.
#include <cstring>
#include <new>

#include "../common/server_name.h"
#include "gensock.h"
#include "winsock_io.h"

using namespace gensock_win32;

namespace {

// Bytes taken from the socket per recv: replies arrive whole in one read.
constexpr std::size_t kReceiveBufferBytes = 64 * 1024;
// Large enough that a 64 MiB body costs about a thousand send calls; runs
// longer than what is free go out in place instead of being copied.
constexpr std::size_t kSendBufferBytes = 64 * 1024;
// One connection per mail run; a few more cost nothing.
constexpr gensock_handle_t kMaxConnections = 16;

struct Connection {
  SOCKET sock = INVALID_SOCKET;
  Timeouts timeouts = {};
  std::size_t in_next = 0;  // next unread byte of in
  std::size_t in_end = 0;   // end of the received bytes in in
  std::size_t out_length = 0;
  char in[kReceiveBufferBytes];
  char out[kSendBufferBytes];
};

// Slot i holds the connection of handle i + 1, so that no handle is 0.
Connection* g_connections[kMaxConnections] = {};

Connection* find(gensock_handle_t handle) {
  if (handle == 0 || handle > kMaxConnections) return nullptr;
  return g_connections[handle - 1];
}

int free_slot(gensock_handle_t* handle) {
  for (gensock_handle_t i = 0; i < kMaxConnections; ++i) {
    if (g_connections[i] == nullptr) {
      *handle = i + 1;
      return 0;
    }
  }
  return GENSOCK_ERR_SOCKET;  // too many simultaneous links
}

int flush(Connection* connection) {
  std::size_t length = connection->out_length;
  connection->out_length = 0;
  if (length == 0) return 0;
  return send_all(connection->sock, connection->out, length, connection->timeouts.send_ms);
}

int open_connection(const char* hostname, const char* service, SOCKET* sock,
                    Timeouts* timeouts) {
  gensock_common::ServerName name;
  if (hostname == nullptr || !gensock_common::split_server_name(hostname, &name)) {
    return GENSOCK_ERR_RESOLVE_HOST;
  }
  std::string port = name.port;
  if (port.empty()) {
    int code = resolve_service(service, &port);
    if (code != 0) return code;
  }
  *timeouts = timeouts_from_environment();
  return connect_socket(name.host, port, timeouts->connect_ms, sock);
}

// Winsock stays started while the connection is open.
int start_and_open(const char* hostname, const char* service, Connection* connection) {
  int code = start_winsock();
  if (code != 0) return code;
  code = open_connection(hostname, service, &connection->sock, &connection->timeouts);
  if (code != 0) stop_winsock();
  return code;
}

}  // namespace

extern "C" {

GENSOCK_API int gensock_connect(const char* hostname, const char* service,
                                gensock_handle_t* handle) {
  gensock_handle_t slot = 0;
  int code = free_slot(&slot);
  if (code != 0) return code;
  Connection* connection = new (std::nothrow) Connection;
  if (connection == nullptr) return GENSOCK_ERR_MALLOC;
  code = start_and_open(hostname, service, connection);
  if (code != 0) {
    delete connection;
    return code;
  }
  g_connections[slot - 1] = connection;
  *handle = slot;
  return 0;
}

GENSOCK_API int gensock_getchar(gensock_handle_t handle, int /*wait*/, char* ch) {
  Connection* connection = find(handle);
  if (connection == nullptr) return GENSOCK_ERR_NOT_A_SOCKET;
  if (connection->in_next == connection->in_end) {
    std::size_t received = 0;
    int code = receive_some(connection->sock, connection->in, sizeof connection->in,
                            connection->timeouts.read_ms, &received);
    if (code != 0) return code;
    connection->in_next = 0;
    connection->in_end = received;
  }
  *ch = connection->in[connection->in_next++];
  return 0;
}

GENSOCK_API int gensock_put_data(gensock_handle_t handle, const char* data,
                                 unsigned long length) {
  Connection* connection = find(handle);
  if (connection == nullptr) return GENSOCK_ERR_NOT_A_SOCKET;
  int code = flush(connection);
  if (code != 0) return code;
  return send_all(connection->sock, data, length, connection->timeouts.send_ms);
}

GENSOCK_API int gensock_put_data_buffered(gensock_handle_t handle, const char* data,
                                          unsigned long length) {
  Connection* connection = find(handle);
  if (connection == nullptr) return GENSOCK_ERR_NOT_A_SOCKET;
  std::size_t room = kSendBufferBytes - connection->out_length;
  if (length <= room) {
    std::memcpy(connection->out + connection->out_length, data, length);
    connection->out_length += length;
    return connection->out_length == kSendBufferBytes ? flush(connection) : 0;
  }
  // Fill the buffer and send it, then send what does not fit in place.
  std::memcpy(connection->out + connection->out_length, data, room);
  connection->out_length = kSendBufferBytes;
  int code = flush(connection);
  if (code != 0) return code;
  return send_all(connection->sock, data + room, length - room, connection->timeouts.send_ms);
}

GENSOCK_API int gensock_put_data_flush(gensock_handle_t handle) {
  Connection* connection = find(handle);
  if (connection == nullptr) return GENSOCK_ERR_NOT_A_SOCKET;
  return flush(connection);
}

GENSOCK_API int gensock_close(gensock_handle_t handle) {
  Connection* connection = find(handle);
  if (connection == nullptr) return GENSOCK_ERR_NOT_A_SOCKET;
  g_connections[handle - 1] = nullptr;
  int code = close_socket(connection->sock);
  delete connection;
  stop_winsock();
  return code;
}

GENSOCK_API int gensock_gethostname(char* name, int size) { return local_host_name(name, size); }

}  // extern "C"
