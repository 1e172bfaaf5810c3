// Login secrets on POSIX: the user's netrc file, and keeping the process
// out of core dumps once a secret is held.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix_io.h"

int platform_read_netrc(std::string* path, std::string* text) {
  const char* named = std::getenv("NETRC");
  const char* home = std::getenv("HOME");
  if (named != nullptr && named[0] != '\0') {
    *path = named;
  } else if (home != nullptr && home[0] != '\0') {
    *path = std::string(home) + "/.netrc";
  } else {
    return kSecretAbsent;
  }
  const int fd = open_existing_for_reading(path->c_str());
  if (fd < 0) return kSecretAbsent;
  struct stat status {};
  int result = 0;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    result = kSecretAbsent;
  } else if ((status.st_mode & (S_IRGRP | S_IROTH)) != 0) {
    result = kSecretOpenToOthers;
  } else {
    PlatformFile file;
    file.handle = fd;
    if (platform_read_to_end(file, text) != 0) result = kSecretAbsent;
  }
  close(fd);
  return result;
}

int platform_read_credential(const std::string&, const std::string&, std::string*) {
  return kSecretNoStore;
}

void platform_protect_secrets() {
#if defined(__linux__)
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
}
