// Putting TLS on a freshly connected socket, as the server name asks.
#pragma once

#include <string>

#include "common/server_name.h"
#include "socket_os.h"
#include "tls.h"

namespace gensock_common {

// For smtps:// the handshake at once; for starttls:// first, in plain text,
// the greeting, EHLO (which must list STARTTLS), STARTTLS and its 220, then
// the handshake. All within limit_ms. 0 with *session set and *greeting the
// bytes to hand to the caller first (the server's original greeting; empty
// for smtps://). Errors: GENSOCK_ERR_TLS_NO_STARTTLS, _TLS_REFUSED, those
// of tls_start_client, _CONNECT (limit reached), _DROPPED, _READ, _SEND.
// On failure the socket is left for the caller to close.
int secure_connection(gensock_os::Socket sock, const ServerName& name, int limit_ms,
                      gensock_tls::Session** session, std::string* greeting);

}  // namespace gensock_common
