// The time, random bytes and host name that a Message-ID is made of.
#include <fcntl.h>
#include <unistd.h>

#include <ctime>

#include "platform/platform.h"

std::int64_t platform_now_seconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

void platform_random_bytes(void* buffer, std::size_t length) {
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  const ssize_t got = fd < 0 ? -1 : read(fd, buffer, length);
  if (fd >= 0) close(fd);
  if (got == static_cast<ssize_t>(length)) return;
  // No random source: the time and the process still tell runs apart.
  unsigned long long seed = static_cast<unsigned long long>(std::time(nullptr)) ^
                            (static_cast<unsigned long long>(getpid()) << 32);
  unsigned char* out = static_cast<unsigned char*>(buffer);
  for (std::size_t i = 0; i < length; ++i) {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    out[i] = static_cast<unsigned char>(seed >> 56);
  }
}

std::string platform_host_name() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}
