// The seven entry points over a small table of connections.
#include <cstring>
#include <new>

#include "gensock_internal.h"

using namespace gensock;

namespace {

// One connection per mail run; a few more cost nothing.
constexpr gensock_handle_t kMaxConnections = 16;

struct Connection {
  int fd = -1;
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
  return send_all(connection->fd, connection->out, length, connection->timeouts.send_ms);
}

int open_connection(const char* hostname, const char* service, int* fd, Timeouts* timeouts) {
  ServerName name;
  if (hostname == nullptr || !split_server_name(hostname, &name)) return GENSOCK_ERR_RESOLVE_HOST;
  std::string port = name.port;
  if (port.empty()) {
    int code = resolve_service(service, &port);
    if (code != 0) return code;
  }
  *timeouts = timeouts_from_environment();
  return connect_socket(name.host, port, timeouts->connect_ms, fd);
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
  code = open_connection(hostname, service, &connection->fd, &connection->timeouts);
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
    int code = receive_some(connection->fd, connection->in, sizeof connection->in,
                            connection->timeouts.read_ms, &received);
    if (code != 0) return code;
    connection->in_next = 0;
    connection->in_end = received;
  }
  *ch = connection->in[connection->in_next++];
  return 0;
}

GENSOCK_API int gensock_put_data(gensock_handle_t handle, const char* data, unsigned long length) {
  Connection* connection = find(handle);
  if (connection == nullptr) return GENSOCK_ERR_NOT_A_SOCKET;
  int code = flush(connection);
  if (code != 0) return code;
  return send_all(connection->fd, data, length, connection->timeouts.send_ms);
}

GENSOCK_API int gensock_put_data_buffered(gensock_handle_t handle, const char* data,
                                          unsigned long length) {
  Connection* connection = find(handle);
  if (connection == nullptr) return GENSOCK_ERR_NOT_A_SOCKET;
  std::size_t room = kSendBufferBytes - connection->out_length;
  if (connection->out_length == 0 && length >= kSendBufferBytes) {
    return send_all(connection->fd, data, length, connection->timeouts.send_ms);
  }
  if (length <= room) {
    std::memcpy(connection->out + connection->out_length, data, length);
    connection->out_length += length;
    return connection->out_length == kSendBufferBytes ? flush(connection) : 0;
  }
  // Fill the buffer and send it; what is left is buffered when it fits and
  // sent in place, without copying, when it does not.
  std::memcpy(connection->out + connection->out_length, data, room);
  connection->out_length = kSendBufferBytes;
  int code = flush(connection);
  if (code != 0) return code;
  return gensock_put_data_buffered(handle, data + room, length - room);
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
  int code = close_socket(connection->fd);
  delete connection;
  return code;
}

GENSOCK_API int gensock_gethostname(char* name, int size) { return local_host_name(name, size); }

}  // extern "C"
