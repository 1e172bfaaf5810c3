// The log file of -log on POSIX: appended to, never truncated, owner only.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/posix_io.h"

namespace {

// What the open descriptor is: 0 for a file quib may write its log to.
int log_target_check(int fd) {
  struct stat opened = {};
  if (fstat(fd, &opened) != 0) return kLogNotOpened;
  if (S_ISREG(opened.st_mode)) return opened.st_uid == geteuid() ? 0 : kLogOtherOwner;
  struct stat null_device = {};
  const bool is_null = S_ISCHR(opened.st_mode) && stat("/dev/null", &null_device) == 0 &&
                       null_device.st_rdev == opened.st_rdev;
  return is_null ? 0 : kLogNotFile;
}

}  // namespace

int platform_open_log(const char* name, PlatformFile* log) {
  // O_APPEND puts every write at the end, whoever else writes meanwhile.
  // O_NONBLOCK: a FIFO without a reader fails at once instead of waiting.
  const int fd = open(
      name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK, 0600);
  if (fd < 0) {
    if (errno == ELOOP) return kLogLink;
    return errno == ENXIO ? kLogNotFile : kLogNotOpened;  // ENXIO: a FIFO without a reader
  }
  int refusal = log_target_check(fd);
  const int flags = fcntl(fd, F_GETFL);
  if (refusal == 0 && (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)) {
    refusal = kLogNotOpened;
  }
  if (refusal != 0) {
    close(fd);
    return refusal;
  }
  log->handle = fd;
  return 0;
}

void platform_append_log(const PlatformFile& log, const char* data, std::size_t length) {
  if (log.handle >= 0) write_all(static_cast<int>(log.handle), data, length);
}
