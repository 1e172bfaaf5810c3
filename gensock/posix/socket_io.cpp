// BSD sockets behind socket_os.h. Sockets are non-blocking; every wait is a
// poll() with the caller's limit, restarted after a signal.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

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

// One lookup in a thread of its own, so that the deadline can end the wait.
// A lookup that ends in time is joined: the thread's resolver state goes
// with it and nothing of it is left at exit. One that does not is left to
// finish on its own, and it frees what it found.
struct Lookup {
  std::string host;
  std::string port;
  addrinfo hints;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  bool abandoned = false;
  int status = 0;
  addrinfo* result = nullptr;
};

void look_up(const std::shared_ptr<Lookup>& lookup) {
  addrinfo* result = nullptr;
  int status = getaddrinfo(lookup->host.c_str(), lookup->port.c_str(), &lookup->hints, &result);
  std::lock_guard<std::mutex> lock(lookup->mutex);
  if (lookup->abandoned) {
    if (status == 0) freeaddrinfo(result);
    return;
  }
  lookup->status = status;
  lookup->result = result;
  lookup->done = true;
  lookup->finished.notify_one();
}

int resolve_within(const std::string& host, const std::string& port, const addrinfo* hints,
                   int timeout_ms, addrinfo** found) {
  std::shared_ptr<Lookup> lookup;
  std::thread worker;
  try {
    lookup = std::make_shared<Lookup>();
    lookup->host = host;
    lookup->port = port;
    lookup->hints = *hints;
    worker = std::thread(look_up, lookup);
  } catch (const std::exception&) {
    return GENSOCK_ERR_RESOLVE_HOST;  // no memory or no thread
  }
  std::unique_lock<std::mutex> lock(lookup->mutex);
  if (!lookup->finished.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                 [&lookup] { return lookup->done; })) {
    lookup->abandoned = true;
    lock.unlock();
    worker.detach();
    return GENSOCK_ERR_RESOLVE_HOST;
  }
  lock.unlock();
  worker.join();
  if (lookup->status != 0) return GENSOCK_ERR_RESOLVE_HOST;
  *found = lookup->result;
  return 0;
}

}  // namespace

int os_resolve(const std::string& host, const std::string& port, const addrinfo* hints,
               int timeout_ms, addrinfo** found) {
  return resolve_within(host, port, hints, timeout_ms, found);
}

namespace {

// The numeric form of an address that getsockname or getpeername filled.
std::string address_text(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = {};
  const void* bytes =
      address.ss_family == AF_INET
          ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(&address)->sin_addr)
          : &reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr;
  if (inet_ntop(address.ss_family, bytes, text, sizeof text) == nullptr) return std::string();
  return text;
}

}  // namespace

std::string os_local_literal(Socket sock) {
  sockaddr_storage local = {};
  socklen_t size = sizeof local;
  if (getsockname(static_cast<int>(sock), reinterpret_cast<sockaddr*>(&local), &size) != 0) {
    return std::string();
  }
  const std::string text = address_text(local);
  if (text.empty()) return text;
  return (local.ss_family == AF_INET ? "[" : "[IPv6:") + text + "]";
}

std::string os_peer_address(Socket sock) {
  sockaddr_storage peer = {};
  socklen_t size = sizeof peer;
  if (getpeername(static_cast<int>(sock), reinterpret_cast<sockaddr*>(&peer), &size) != 0) {
    return std::string();
  }
  return address_text(peer);
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
