// BSD sockets behind socket_os.h. Sockets are non-blocking; every wait is a
// poll() with the caller's limit, restarted after a signal.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include "gensock.h"
#include "socket_headers.h"
#include "socket_os.h"

namespace gensock_os {

namespace {

// Host names have at most 255 bytes (DNS), Linux allows 64; one more for the NUL.
constexpr std::size_t kHostNameBytes = 256;

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;  // a closed peer gives EPIPE, not SIGPIPE
#else
constexpr int kSendFlags = 0;  // SO_NOSIGPIPE is set on the socket instead
#endif

long now_ms() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits until fd is ready for `events` or timeout_ms has passed.
// 1 when ready, 0 on timeout, -1 on error.
int wait_for(int fd, short events, int timeout_ms) {
  long deadline = now_ms() + timeout_ms;
  for (;;) {
    pollfd entry = {fd, events, 0};
    long left = deadline - now_ms();
    int ready = poll(&entry, 1, left > 0 ? static_cast<int>(left) : 0);
    if (ready > 0) return 1;
    if (ready == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

int make_socket(const addrinfo* address) {
  int fd = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
  if (fd < 0) return -1;
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0 ||
      fcntl(fd, F_SETFD, FD_CLOEXEC) < 0) {
    close(fd);
    return -1;
  }
#ifdef SO_NOSIGPIPE
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
  return fd;
}

int connect_error_code(int error) {
  if (error == ECONNREFUSED) return GENSOCK_ERR_REFUSED;
  return GENSOCK_ERR_CONNECT;  // timed out, unreachable, ...
}

// Connects fd to one address. 0, or a transport code.
int connect_one(int fd, const addrinfo* address, int timeout_ms) {
  if (connect(fd, address->ai_addr, address->ai_addrlen) == 0) return 0;
  if (errno != EINPROGRESS && errno != EINTR) return connect_error_code(errno);
  int ready = wait_for(fd, POLLOUT, timeout_ms);
  if (ready <= 0) return GENSOCK_ERR_CONNECT;
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return GENSOCK_ERR_CONNECT;
  return error == 0 ? 0 : connect_error_code(error);
}

}  // namespace

int os_start() { return 0; }

void os_stop() {}

int os_connect_address(const addrinfo* address, int timeout_ms, Socket* sock) {
  int fd = make_socket(address);
  if (fd < 0) return GENSOCK_ERR_SOCKET;
  int code = connect_one(fd, address, timeout_ms);
  if (code == 0) {
    *sock = fd;
  } else {
    close(fd);
  }
  return code;
}

int os_send_all(Socket sock, const char* data, std::size_t length, int send_ms) {
  int fd = static_cast<int>(sock);
  while (length > 0) {
    ssize_t sent = send(fd, data, length, kSendFlags);
    if (sent > 0) {
      data += sent;
      length -= static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (wait_for(fd, POLLOUT, send_ms) == 1) continue;
    }
    return GENSOCK_ERR_SEND;
  }
  return 0;
}

int os_receive_some(Socket sock, char* buffer, std::size_t size, int read_ms,
                    std::size_t* received) {
  int fd = static_cast<int>(sock);
  for (;;) {
    // A reply is rarely there yet when asked for: wait first, then read.
    int ready = wait_for(fd, POLLIN, read_ms);
    if (ready == 0) return GENSOCK_ERR_WAIT;
    if (ready < 0) return GENSOCK_ERR_READ;
    ssize_t got = recv(fd, buffer, size, 0);
    if (got > 0) {
      *received = static_cast<std::size_t>(got);
      return 0;
    }
    if (got == 0) return GENSOCK_ERR_DROPPED;
    if (errno == EINTR) continue;
    if (errno == ECONNRESET) return GENSOCK_ERR_DROPPED;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return GENSOCK_ERR_READ;
  }
}

int os_close(Socket sock) {
  // Not retried after EINTR: the descriptor is gone either way.
  if (close(static_cast<int>(sock)) != 0 && errno != EINTR) return GENSOCK_ERR_CLOSE;
  return 0;
}

std::string os_host_name() {
  char name[kHostNameBytes] = {};
  if (gethostname(name, sizeof name) != 0) return std::string();
  name[sizeof name - 1] = '\0';  // a name cut to fit may lack its NUL
  return name;
}

}  // namespace gensock_os
