// Signing in the Windows build. Assertions signed with a certificate or a
// service account's key are not made here yet: such a set-up ends with a
// message naming what is missing, and client secrets and refresh tokens
// work as on Linux.
#include <string>

#include "oauth/signer.h"

namespace {

const char kNotYet[] =
    "signed assertions (certificate, service_account) are not available in the Windows build; "
    "use client_secret or refresh_token";

}  // namespace

int rs256_sign(std::string_view, std::string_view, std::string*, std::string* why) {
  *why = kNotYet;
  return -1;
}

int certificate_thumbprints(std::string_view, std::string*, std::string*, std::string* why) {
  *why = kNotYet;
  return -1;
}
