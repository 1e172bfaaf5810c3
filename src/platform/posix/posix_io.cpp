#include "platform/posix/posix_io.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int write_all(int fd, const void* data, std::size_t length) {
  const char* at = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t written = write(fd, at, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return -1;
    at += written;
    length -= static_cast<std::size_t>(written);
  }
  return 0;
}

int open_existing_for_reading(const char* name) {
  const int fd = open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return -1;
  struct stat info;
  if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    close(fd);
    return -1;
  }
  return fd;
}
