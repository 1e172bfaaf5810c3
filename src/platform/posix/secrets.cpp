// Login secrets on POSIX: the user's netrc file, and keeping the process
// out of core dumps once a secret is held.
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <cstdlib>
#include <string>

#include "platform/platform.h"

int platform_read_netrc(std::string* path, Secret* text) {
  const char* named = std::getenv("NETRC");
  const char* home = std::getenv("HOME");
  if (named != nullptr && named[0] != '\0') {
    *path = named;
  } else if (home != nullptr && home[0] != '\0') {
    *path = std::string(home) + "/.netrc";
  } else {
    return kSecretAbsent;
  }
  return platform_read_private_file(*path, text);
}

int platform_read_credential(const std::string&, const std::string&, Secret*) {
  return kSecretNoStore;
}

void platform_protect_secrets() {
#if defined(__linux__)
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
}
