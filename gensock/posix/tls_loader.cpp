// tls.h for the library itself: each call goes to the OpenSSL module,
// loaded from this library's own folder at the first TLS connection and
// kept until the process ends.
#include <dlfcn.h>

#include <string>

#include "gensock.h"
#include "tls_module.h"
#include "trace.h"

namespace gensock_tls {

namespace {

// The folder this library was loaded from, with a trailing '/'; empty when
// it cannot be told.
std::string own_folder() {
  Dl_info info = {};
  if (dladdr(reinterpret_cast<void*>(&own_folder), &info) == 0 || info.dli_fname == nullptr) {
    return std::string();
  }
  std::string path = info.dli_fname;
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

const Backend* load_backend() {
  void* module = dlopen((own_folder() + kModuleName).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) return nullptr;
  EntryPoint entry = reinterpret_cast<EntryPoint>(dlsym(module, kEntryName));
  return entry != nullptr ? entry() : nullptr;
}

// Null when the module cannot be loaded; a session exists only once it was.
const Backend* backend() {
  static const Backend* loaded = load_backend();
  return loaded;
}

}  // namespace

int tls_start_client(gensock_os::Socket sock, const std::string& host, Deadline deadline,
                     Session** session) {
  const Backend* loaded = backend();
  if (loaded == nullptr) {
    gensock_common::trace("TLS module " + std::string(kModuleName) + " cannot be loaded (4024)");
    return GENSOCK_ERR_TLS_SETUP;
  }
  void* context = nullptr;
  gensock_trace_t callback = gensock_common::trace_callback(&context);
  loaded->set_trace(callback, context);
  return loaded->start_client(sock, host.c_str(), deadline, session);
}

int tls_send_all(Session* session, const char* data, std::size_t length, int send_ms) {
  return backend()->send_all(session, data, length, send_ms);
}

int tls_receive_some(Session* session, char* buffer, std::size_t size, int wait_ms,
                     std::size_t* received) {
  return backend()->receive_some(session, buffer, size, wait_ms, received);
}

void tls_close(Session* session) {
  if (session != nullptr) backend()->close(session);
}

}  // namespace gensock_tls
