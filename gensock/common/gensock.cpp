// The seven entry points over a small table of connections: handles,
// buffering and time limits, the same on every system. What touches the
// network is behind socket_os.h.
#include "gensock.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "common/ascii.h"
#include "common/server_name.h"
#include "resolve.h"
#include "socket_os.h"
#include "timeouts.h"
#include "tls.h"
#include "tls_connect.h"
#include "trace.h"

using gensock_common::Timeouts;
using gensock_os::Socket;
using Clock = std::chrono::steady_clock;

namespace {

// One receive per buffer, not per byte: replies arrive whole in one read.
constexpr std::size_t kReceiveBufferBytes = 64 * 1024;
// A 64 MiB body goes out in 256 send calls; measured against 64 KiB and
// 1 MiB, this size kept a loopback sink busiest. Runs longer than what is
// free go out in place instead of being copied.
constexpr std::size_t kSendBufferBytes = 256 * 1024;
// One connection per mail run; a few more cost nothing.
constexpr gensock_handle_t kMaxConnections = 16;

struct Connection {
  Socket sock = -1;
  Timeouts timeouts = {};
  bool reply_begun = false;  // a caller named a limit for the reply being read
  Clock::time_point reply_deadline = {};
  std::size_t in_next = 0;  // next unread byte of in
  std::size_t in_end = 0;   // end of the received bytes in in
  std::size_t out_length = 0;
  // Set for smtps:// and starttls://: every byte then goes through it.
  gensock_tls::Session* tls = nullptr;
  char in[kReceiveBufferBytes];
  char out[kSendBufferBytes];
};

// Slot i holds the connection of handle i + 1, so that no handle is 0.
Connection* g_connections[kMaxConnections] = {};

// The address literal of the local end of the newest connection: what
// gensock_gethostname gives instead of a name that is unsafe to send.
std::string g_local_literal;

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

int send_now(Connection* connection, const char* data, std::size_t length) {
  if (connection->tls != nullptr) {
    return gensock_tls::tls_send_all(connection->tls, data, length, connection->timeouts.send_ms);
  }
  return gensock_os::os_send_all(connection->sock, data, length, connection->timeouts.send_ms);
}

// Refills the receive buffer with at least one byte, waiting at most wait_ms.
int receive(Connection* connection, int wait_ms) {
  std::size_t received = 0;
  int code = connection->tls != nullptr
                 ? gensock_tls::tls_receive_some(connection->tls, connection->in,
                                                 sizeof connection->in, wait_ms, &received)
                 : gensock_os::os_receive_some(connection->sock, connection->in,
                                               sizeof connection->in, wait_ms, &received);
  if (code != 0) return code;
  connection->in_next = 0;
  connection->in_end = received;
  return 0;
}

int flush(Connection* connection) {
  std::size_t length = connection->out_length;
  connection->out_length = 0;
  if (length == 0) return 0;
  return send_now(connection, connection->out, length);
}

// A malformed name is caught before the service is looked at; the service
// is resolved before the host.
int open_connection(const char* hostname, const char* service, Connection* connection) {
  ServerName name;
  if (hostname == nullptr || !split_server_name(hostname, &name)) {
    gensock_common::trace("the server name is malformed (4007)");
    return GENSOCK_ERR_RESOLVE_HOST;
  }
  std::string port = name.port;
  if (port.empty()) {
    int code = gensock_common::service_port(service, &port);
    if (code != 0 && gensock_common::tracing()) {
      gensock_common::trace(std::string("the service ") + (service ? service : "") +
                            " does not resolve (4014)");
    }
    if (code != 0) return code;
  }
  connection->timeouts = gensock_common::timeouts_from_environment();
  int code = gensock_common::connect_host(name.host, port, connection->timeouts.connect_ms,
                                          &connection->sock);
  if (code != 0) return code;
  g_local_literal = gensock_os::os_local_literal(connection->sock);
  if (name.transport == ServerTransport::kPlain) return 0;
  std::string greeting;  // fits: the exchange keeps replies far below the buffer's size
  code = gensock_common::secure_connection(connection->sock, name, connection->timeouts.connect_ms,
                                           &connection->tls, &greeting);
  if (code != 0) gensock_os::os_close(connection->sock);
  connection->in_end = greeting.copy(connection->in, sizeof connection->in);
  return code;
}

// The socket layer stays started while the connection is open.
int start_and_open(const char* hostname, const char* service, Connection* connection) {
  int code = gensock_os::os_start();
  if (code != 0) return code;
  code = open_connection(hostname, service, connection);
  if (code != 0) gensock_os::os_stop();
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

GENSOCK_API int gensock_getchar(gensock_handle_t handle, int wait, char* ch) {
  Connection* connection = find(handle);
  if (connection == nullptr) return GENSOCK_ERR_NOT_A_SOCKET;
  if (wait > 0) {
    connection->reply_begun = true;
    connection->reply_deadline = Clock::now() + std::chrono::milliseconds(gensock_common::shortened(
                                                    wait, connection->timeouts));
  }
  if (connection->in_next == connection->in_end) {
    int wait_ms = connection->timeouts.read_ms;
    if (wait == GENSOCK_WAIT_POLL) {
      wait_ms = 0;
    } else if (connection->reply_begun) {
      wait_ms = gensock_tls::ms_left(connection->reply_deadline);
    }
    int code = receive(connection, wait_ms);
    if (code != 0) return code;
  }
  *ch = connection->in[connection->in_next++];
  return 0;
}

GENSOCK_API int gensock_put_data(gensock_handle_t handle, const char* data, unsigned long length) {
  Connection* connection = find(handle);
  if (connection == nullptr) return GENSOCK_ERR_NOT_A_SOCKET;
  int code = flush(connection);
  if (code != 0) return code;
  return send_now(connection, data, length);
}

GENSOCK_API int gensock_put_data_buffered(gensock_handle_t handle, const char* data,
                                          unsigned long length) {
  Connection* connection = find(handle);
  if (connection == nullptr) return GENSOCK_ERR_NOT_A_SOCKET;
  std::size_t room = kSendBufferBytes - connection->out_length;
  if (connection->out_length == 0 && length >= kSendBufferBytes) {
    return send_now(connection, data, length);
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
  gensock_tls::tls_close(connection->tls);
  int code = gensock_os::os_close(connection->sock);
  delete connection;
  gensock_os::os_stop();
  return code;
}

// A name longer than size is cut to fit; one that cannot be had, or that
// could not travel safely in a command, becomes the local address literal.
GENSOCK_API int gensock_gethostname(char* name, int size) {
  if (name == nullptr || size <= 1) return GENSOCK_ERR_MALLOC;
  int code = gensock_os::os_start();
  if (code != 0) return code;
  std::string full = gensock_os::os_host_name();
  gensock_os::os_stop();
  if (!is_safe_host_name(full)) full = g_local_literal.empty() ? "localhost" : g_local_literal;
  std::snprintf(name, static_cast<std::size_t>(size), "%s", full.c_str());
  return 0;
}

GENSOCK_API int gensock_capabilities(void) {
  return GENSOCK_CAN_TAKE_RUNS | GENSOCK_CAN_TIME_REPLIES | GENSOCK_CAN_POLL | GENSOCK_CAN_TRACE |
         GENSOCK_CAN_PEER;
}

GENSOCK_API int gensock_peer_address(gensock_handle_t handle, char* address, int size) {
  Connection* connection = find(handle);
  if (connection == nullptr) return GENSOCK_ERR_NOT_A_SOCKET;
  const std::string text = gensock_os::os_peer_address(connection->sock);
  if (text.empty()) return GENSOCK_ERR_SOCKET;
  if (address == nullptr || size <= 0 || text.size() >= static_cast<std::size_t>(size)) {
    return GENSOCK_ERR_MALLOC;
  }
  std::snprintf(address, static_cast<std::size_t>(size), "%s", text.c_str());
  return 0;
}

GENSOCK_API void gensock_set_trace(gensock_trace_t callback, void* context) {
  gensock_common::set_trace(callback, context);
}

}  // extern "C"
