// The OpenSSL backend of tls.h is a module of its own (libgensock-tls.so,
// beside libgensock.so), loaded at the first TLS connection: a plain run
// never maps OpenSSL, whose loading cost more than the rest of a short run.
#pragma once

#include <cstddef>

#include "gensock.h"
#include "tls.h"

namespace gensock_tls {

// The backend's functions, as tls.h has them (the host as a C string).
struct Backend {
  int (*start_client)(gensock_os::Socket sock, const char* host, Deadline deadline,
                      Session** session);
  int (*send_all)(Session* session, const char* data, std::size_t length, int send_ms);
  int (*receive_some)(Session* session, char* buffer, std::size_t size, int wait_ms,
                      std::size_t* received);
  void (*close)(Session* session);
  // The library's trace (trace.h), handed on before each handshake.
  void (*set_trace)(gensock_trace_t callback, void* context);
};

// The module's file name, and the one symbol it exports.
constexpr char kModuleName[] = "libgensock-tls.so";
constexpr char kEntryName[] = "gensock_tls_backend";
using EntryPoint = const Backend* (*)();

}  // namespace gensock_tls
