// TLS through OpenSSL 3, built as a module of its own (tls_module.h). OpenSSL works on two memory
// buffers and this file moves their bytes over the socket with socket_os.h, so that every wait
// keeps the limits and error codes of the plain path. The trust store is
// OpenSSL's default, which SSL_CERT_FILE and SSL_CERT_DIR replace.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <climits>
#include <new>

#include "gensock.h"
#include "tls_module.h"
#include "trace.h"

namespace gensock_tls {

struct Session {
  gensock_os::Socket sock = -1;
  SSL_CTX* context = nullptr;
  SSL* ssl = nullptr;
  BIO* incoming = nullptr;  // received from the socket, read by OpenSSL
  BIO* outgoing = nullptr;  // written by OpenSSL, to be sent
};

namespace {

// Holds a few full TLS records (16 KiB of payload each).
constexpr std::size_t kReceiveChunkBytes = 64 * 1024;
// Plain text encrypted per round before the records go out in one send.
constexpr std::size_t kSendChunkBytes = 64 * 1024;

void free_session(Session* session) {
  SSL_free(session->ssl);  // frees both memory buffers with it
  SSL_CTX_free(session->context);
  delete session;
}

// Sends whatever OpenSSL has written. 0, or GENSOCK_ERR_SEND.
int send_outgoing(Session* session, int send_ms) {
  char* data = nullptr;
  long length = BIO_get_mem_data(session->outgoing, &data);
  if (length <= 0) return 0;
  int code =
      gensock_os::os_send_all(session->sock, data, static_cast<std::size_t>(length), send_ms);
  (void)BIO_reset(session->outgoing);
  return code;
}

// Receives what the socket has within wait_ms and gives it to OpenSSL.
int receive_incoming(Session* session, int wait_ms) {
  char chunk[kReceiveChunkBytes];
  std::size_t received = 0;
  int code = gensock_os::os_receive_some(session->sock, chunk, sizeof chunk, wait_ms, &received);
  if (code != 0) return code;
  return BIO_write(session->incoming, chunk, static_cast<int>(received)) > 0 ? 0 : GENSOCK_ERR_READ;
}

// ---- The trace: what was agreed, the certificate, OpenSSL's own reasons ----

using gensock_common::trace;
using gensock_common::tracing;

// What was written to the memory BIO, which is freed.
std::string take_text(BIO* bio) {
  char* data = nullptr;
  long length = BIO_get_mem_data(bio, &data);
  std::string text(data, length > 0 ? static_cast<std::size_t>(length) : 0);
  BIO_free(bio);
  return text;
}

std::string name_text(const X509_NAME* name) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio == nullptr) return std::string();
  X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253);
  return take_text(bio);
}

std::string time_text(const ASN1_TIME* time) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio == nullptr) return std::string();
  ASN1_TIME_print(bio, time);
  return take_text(bio);
}

// The subjectAltName entries: "DNS:localhost, IP Address:127.0.0.1".
std::string alternative_names(X509* certificate) {
  GENERAL_NAMES* names = static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
  BIO* bio = names != nullptr ? BIO_new(BIO_s_mem()) : nullptr;
  if (bio == nullptr) {
    GENERAL_NAMES_free(names);
    return "none";
  }
  for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
    if (i > 0) BIO_puts(bio, ", ");
    GENERAL_NAME_print(bio, sk_GENERAL_NAME_value(names, i));
  }
  GENERAL_NAMES_free(names);
  return take_text(bio);
}

// Whether the server's certificate is in the trace: the check below shows
// it once per handshake, since after a refused chain OpenSSL keeps none.
bool g_certificate_shown = false;

void trace_certificate(X509* certificate) {
  trace("certificate subject: " + name_text(X509_get_subject_name(certificate)));
  trace("certificate issuer: " + name_text(X509_get_issuer_name(certificate)));
  trace("certificate names: " + alternative_names(certificate));
  trace("certificate valid from " + time_text(X509_get0_notBefore(certificate)) + " until " +
        time_text(X509_get0_notAfter(certificate)));
}

// Called by OpenSSL for each certificate of the chain as it is checked,
// the server's last (depth 0); the verdict stays OpenSSL's.
int verify_step(int verified, X509_STORE_CTX* store) {
  if (!tracing()) return verified;
  const int depth = X509_STORE_CTX_get_error_depth(store);
  if (depth == 0 && !g_certificate_shown) {
    g_certificate_shown = true;
    trace_certificate(X509_STORE_CTX_get_current_cert(store));
  }
  if (!verified) {
    trace(std::string("certificate verification: ") +
          X509_verify_cert_error_string(X509_STORE_CTX_get_error(store)) + " (depth " +
          std::to_string(depth) + ")");
  }
  return verified;
}

// Every error OpenSSL has queued, in its own words.
void trace_errors(const char* what) {
  for (unsigned long error = ERR_get_error(); error != 0; error = ERR_get_error()) {
    char text[256];  // ERR_error_string_n cuts to fit
    ERR_error_string_n(error, text, sizeof text);
    trace(std::string(what) + ": " + text);
  }
}

void trace_handshake(const Session* session, bool done) {
  if (!tracing()) return;
  if (!done) {
    trace_errors("TLS handshake failed");
    return;
  }
  trace(std::string(SSL_get_version(session->ssl)) + ", cipher " +
        SSL_get_cipher_name(session->ssl));
  trace(std::string("certificate verification: ") +
        X509_verify_cert_error_string(SSL_get_verify_result(session->ssl)));
}

// The code for a handshake that OpenSSL gave up on.
int handshake_failure(const Session* session) {
  trace_handshake(session, false);
  switch (SSL_get_verify_result(session->ssl)) {
    case X509_V_OK:
      return GENSOCK_ERR_TLS_HANDSHAKE;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return GENSOCK_ERR_TLS_EXPIRED;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return GENSOCK_ERR_TLS_NAME;
    default:
      return GENSOCK_ERR_TLS_UNTRUSTED;
  }
}

// A name, or an IP literal to be checked against the certificate's addresses.
bool set_expected_name(SSL* ssl, const std::string& host) {
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
  if (X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1) return true;
  // Names come from the subjectAltName only, never from the subject's CN (RFC 9525).
  X509_VERIFY_PARAM_set_hostflags(
      param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
  return SSL_set1_host(ssl, host.c_str()) == 1 && SSL_set_tlsext_host_name(ssl, host.c_str()) == 1;
}

int set_up(Session* session, const std::string& host) {
  session->context = SSL_CTX_new(TLS_client_method());
  if (session->context == nullptr ||
      SSL_CTX_set_min_proto_version(session->context, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_default_verify_paths(session->context) != 1) {
    if (tracing()) trace_errors("TLS setup failed");
    return GENSOCK_ERR_TLS_SETUP;
  }
  SSL_CTX_set_verify(session->context, SSL_VERIFY_PEER, verify_step);
  g_certificate_shown = false;
  session->ssl = SSL_new(session->context);
  session->incoming = BIO_new(BIO_s_mem());
  session->outgoing = BIO_new(BIO_s_mem());
  if (session->ssl == nullptr || session->incoming == nullptr || session->outgoing == nullptr) {
    BIO_free(session->incoming);
    BIO_free(session->outgoing);
    return GENSOCK_ERR_TLS_SETUP;
  }
  SSL_set_bio(session->ssl, session->incoming, session->outgoing);
  if (!set_expected_name(session->ssl, host)) return GENSOCK_ERR_TLS_SETUP;
  return 0;
}

int handshake(Session* session, Deadline deadline) {
  for (;;) {
    ERR_clear_error();
    int result = SSL_connect(session->ssl);
    int error = SSL_get_error(session->ssl, result);
    // Also the alert that tells the server why we give up.
    int code = send_outgoing(session, ms_left(deadline));
    if (result == 1) trace_handshake(session, true);
    if (result == 1) return code;
    if (error != SSL_ERROR_WANT_READ) return handshake_failure(session);
    if (code != 0) return code;
    code = receive_incoming(session, ms_left(deadline));
    if (code == GENSOCK_ERR_WAIT) return GENSOCK_ERR_CONNECT;
    if (code != 0) return code;
  }
}

}  // namespace

int tls_start_client(gensock_os::Socket sock, const std::string& host, Deadline deadline,
                     Session** session) {
  auto start = [&host, deadline](Session* fresh) {
    int code = set_up(fresh, host);
    return code == 0 ? handshake(fresh, deadline) : code;
  };
  return start_session(sock, session, start, free_session);
}

int tls_send_all(Session* session, const char* data, std::size_t length, int send_ms) {
  while (length > 0) {
    std::size_t piece = length < kSendChunkBytes ? length : kSendChunkBytes;
    ERR_clear_error();
    // Memory buffers take everything: a write is whole, an error, or held up
    // by a renegotiation the server asked for, which then needs its replies.
    int written = SSL_write(session->ssl, data, static_cast<int>(piece));
    int error = SSL_get_error(session->ssl, written);
    int code = send_outgoing(session, send_ms);
    if (code != 0) return code;
    if (written <= 0) {
      if (error == SSL_ERROR_WANT_WRITE) continue;
      if (error != SSL_ERROR_WANT_READ || receive_incoming(session, send_ms) != 0) {
        return GENSOCK_ERR_SEND;
      }
      continue;  // the same bytes again, as OpenSSL asks
    }
    data += piece;
    length -= piece;
  }
  return 0;
}

int tls_receive_some(Session* session, char* buffer, std::size_t size, int wait_ms,
                     std::size_t* received) {
  Deadline deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  int want = static_cast<int>(size < INT_MAX ? size : INT_MAX);
  for (;;) {
    ERR_clear_error();
    int got = SSL_read(session->ssl, buffer, want);
    int error = SSL_get_error(session->ssl, got);
    // What OpenSSL wrote here (a renegotiation's hello, an answer to a key
    // update) goes out now: the server may wait for it before it says more.
    int code = send_outgoing(session, ms_left(deadline));
    if (code != 0) return code;
    if (got > 0) {
      *received = static_cast<std::size_t>(got);
      return 0;
    }
    if (error == SSL_ERROR_ZERO_RETURN) return GENSOCK_ERR_DROPPED;
    if (error == SSL_ERROR_WANT_WRITE) continue;
    if (error != SSL_ERROR_WANT_READ) return GENSOCK_ERR_READ;
    code = receive_incoming(session, ms_left(deadline));
    if (code != 0) return code;
  }
}

void tls_close(Session* session) {
  if (session == nullptr) return;
  ERR_clear_error();
  if (SSL_shutdown(session->ssl) >= 0) (void)send_outgoing(session, 0);
  free_session(session);
}

namespace {

int start_client(gensock_os::Socket sock, const char* host, Deadline deadline, Session** session) {
  return tls_start_client(sock, host, deadline, session);
}

const Backend kBackend = {start_client, tls_send_all, tls_receive_some, tls_close,
                          gensock_common::set_trace};

}  // namespace

}  // namespace gensock_tls

extern "C" __attribute__((visibility("default"))) const gensock_tls::Backend*
gensock_tls_backend() {
  return &gensock_tls::kBackend;
}
