// BSD sockets behind socket_os.h. Sockets are non-blocking; every wait is a
// poll() with the caller's limit, restarted after a signal.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <new>

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

#ifdef __GLIBC__
// One asynchronous lookup. When the deadline strikes first, the resolver's
// thread may still be working on it and write into it later, so it is then
// left to the process (a few hundred bytes, once per run).
struct Lookup {
  std::string host;
  std::string port;
  addrinfo hints;
  gaicb request;
};

int resolve_within(const std::string& host, const std::string& port, const addrinfo* hints,
                   int timeout_ms, addrinfo** found) {
  Lookup* lookup = new (std::nothrow) Lookup{host, port, *hints, gaicb{}};
  if (lookup == nullptr) return GENSOCK_ERR_RESOLVE_HOST;
  lookup->request.ar_name = lookup->host.c_str();
  lookup->request.ar_service = lookup->port.c_str();
  lookup->request.ar_request = &lookup->hints;
  gaicb* list[1] = {&lookup->request};
  if (getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) != 0) {
    delete lookup;
    return GENSOCK_ERR_RESOLVE_HOST;
  }
  long deadline = now_ms() + timeout_ms;
  while (gai_error(&lookup->request) == EAI_INPROGRESS) {
    long left = deadline - now_ms();
    if (left <= 0) break;
    timespec wait = {static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000};
    gai_suspend(list, 1, &wait);  // returns early on completion or a signal
  }
  int status = gai_error(&lookup->request);
  if (status == EAI_INPROGRESS && gai_cancel(&lookup->request) == EAI_NOTCANCELED) {
    return GENSOCK_ERR_RESOLVE_HOST;  // abandoned: the lookup is left to the process
  }
  status = gai_error(&lookup->request);
  if (status == 0) {
    *found = lookup->request.ar_result;
  } else if (lookup->request.ar_result != nullptr) {
    freeaddrinfo(lookup->request.ar_result);
  }
  delete lookup;
  return status == 0 ? 0 : GENSOCK_ERR_RESOLVE_HOST;
}
#endif

}  // namespace

int os_resolve(const std::string& host, const std::string& port, const addrinfo* hints,
               int timeout_ms, addrinfo** found) {
#ifdef __GLIBC__
  return resolve_within(host, port, hints, timeout_ms, found);
#else
  (void)timeout_ms;            // the system's resolver keeps its own limits
  return getaddrinfo(host.c_str(), port.c_str(), hints, found) == 0 ? 0 : GENSOCK_ERR_RESOLVE_HOST;
#endif
}

std::string os_local_literal(Socket sock) {
  sockaddr_storage local = {};
  socklen_t size = sizeof local;
  if (getsockname(static_cast<int>(sock), reinterpret_cast<sockaddr*>(&local), &size) != 0) {
    return std::string();
  }
  char text[INET6_ADDRSTRLEN] = {};
  if (local.ss_family == AF_INET) {
    const sockaddr_in* v4 = reinterpret_cast<const sockaddr_in*>(&local);
    if (inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text) == nullptr) return std::string();
    return std::string("[") + text + "]";
  }
  const sockaddr_in6* v6 = reinterpret_cast<const sockaddr_in6*>(&local);
  if (inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text) == nullptr) return std::string();
  return std::string("[IPv6:") + text + "]";
}

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
