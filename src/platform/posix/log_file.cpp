// The log file of -log on POSIX: appended to, never truncated, owner only.
#include <fcntl.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/posix_io.h"

int platform_open_log(const char* name, PlatformFile* log) {
  // O_APPEND puts every write at the end, whoever else writes meanwhile.
  const int fd = open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) return -1;
  log->handle = fd;
  return 0;
}

void platform_append_log(const PlatformFile& log, const char* data, std::size_t length) {
  if (log.handle >= 0) write_all(static_cast<int>(log.handle), data, length);
}
