// Encryption of one connection's traffic: what each platform's TLS backend
// provides (posix/tls_openssl.cpp with OpenSSL, in a module of its own that
// posix/tls_loader.cpp loads; win32/tls_schannel.cpp with SChannel). The backend reads and writes
// the socket through socket_os.h. Each function returns 0 or a transport error code (gensock.h).
#pragma once

#include <chrono>
#include <cstddef>
#include <new>
#include <string>

#include "gensock.h"
#include "socket_os.h"

namespace gensock_tls {

using Deadline = std::chrono::steady_clock::time_point;

// Milliseconds until deadline; 0 once it has passed.
inline int ms_left(Deadline deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                  deadline - std::chrono::steady_clock::now())
                  .count();
  return left > 0 ? static_cast<int>(left) : 0;
}

struct Session;  // one connection's TLS state, owned by the backend

// What each backend's tls_start_client does around its own steps: a new
// session for sock, started by start(fresh) (0 or an error code); then handed
// to *session, or on an error given to release. 0, or the error.
template <typename S, typename Start, typename Release>
int start_session(gensock_os::Socket sock, S** session, Start start, Release release) {
  S* fresh = new (std::nothrow) S;
  if (fresh == nullptr) return GENSOCK_ERR_MALLOC;
  fresh->sock = sock;
  const int code = start(fresh);
  if (code != 0) {
    release(fresh);
    return code;
  }
  *session = fresh;
  return 0;
}

// The client's handshake on a connected socket, finished by deadline: TLS 1.2
// at least, the chain verified against the system's trust store and its name
// against host (an IP literal against the certificate's addresses). 0 with
// *session set; else _TLS_HANDSHAKE, _TLS_UNTRUSTED, _TLS_NAME, _TLS_EXPIRED,
// _TLS_SETUP, _CONNECT (deadline passed) or _DROPPED, and no session.
int tls_start_client(gensock_os::Socket sock, const std::string& host, Deadline deadline,
                     Session** session);

// Encrypts and sends every byte, waiting at most send_ms each time the
// socket is full. 0, or GENSOCK_ERR_SEND.
int tls_send_all(Session* session, const char* data, std::size_t length, int send_ms);

// At least one decrypted byte into buffer, waiting at most wait_ms in all (0:
// only what is held or readable at once). 0 with *received set, or
// GENSOCK_ERR_WAIT, _DROPPED (also a close_notify) or _READ.
int tls_receive_some(Session* session, char* buffer, std::size_t size, int wait_ms,
                     std::size_t* received);

// Sends close_notify if it can at once and frees the session; the socket
// stays open for the caller to close.
void tls_close(Session* session);

}  // namespace gensock_tls
