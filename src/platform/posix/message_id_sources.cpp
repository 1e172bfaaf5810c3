// The time, random bytes and host name that a Message-ID is made of.
#include <fcntl.h>
#include <unistd.h>

#include <ctime>

#include "platform/fallback_random.h"
#include "platform/platform.h"

std::int64_t platform_now_seconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

void platform_random_bytes(void* buffer, std::size_t length) {
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  const ssize_t got = fd < 0 ? -1 : read(fd, buffer, length);
  if (fd >= 0) close(fd);
  if (got == static_cast<ssize_t>(length)) return;
  fill_fallback_random(buffer, length, static_cast<unsigned long long>(getpid()));
}

std::string platform_host_name() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}
