// The one HTTPS request the token client makes: a form POSTed to a URL.
// The certificate is always verified; on Linux SSL_CERT_FILE and
// SSL_CERT_DIR name the authorities to trust, as for SMTP. Backends:
// posix/ (libcurl, loaded at run time) and win32/ (WinHTTP).
#pragma once

#include <string>

#include "platform/secret.h"

struct HttpsReply {
  long status = 0;  // the HTTP status
  Secret body;      // the reply's body
};

// POSTs form (application/x-www-form-urlencoded) to url and waits at most
// a minute for the reply. 0 when a reply came (whatever its status), or -1
// with *why naming the failure (no library, unreachable, TLS refused).
int https_post_form(const std::string& url, std::string_view form, HttpsReply* reply,
                    std::string* why);
