// String comparison, the existence test of a file and console output on POSIX.
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

namespace {

int ascii_lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; }

}  // namespace

int platform_compare(const char* a, const char* b) { return std::strcmp(a, b); }

// Only the 26 ASCII letters fold; every other byte compares as it stands,
// whatever the locale says.
int platform_compare_nocase(const char* a, const char* b) {
  const unsigned char* x = reinterpret_cast<const unsigned char*>(a);
  const unsigned char* y = reinterpret_cast<const unsigned char*>(b);
  for (;; ++x, ++y) {
    int difference = ascii_lower(*x) - ascii_lower(*y);
    if (difference != 0 || *x == 0) return difference;
  }
}

// Opened without blocking, so that a FIFO with no writer does not hang the
// test; a device or a FIFO counts as existing (the caller later refuses
// what is not a disk file), a folder does not.
bool platform_file_exists(const char* name) {
  if (name == nullptr || name[0] == '\0') return false;
  int fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  bool exists = fstat(fd, &info) == 0 && !S_ISDIR(info.st_mode);
  close(fd);
  return exists;
}

void platform_write_stdout(const char* data, std::size_t length) {
  while (length > 0) {
    ssize_t written = write(STDOUT_FILENO, data, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report it
    }
    data += written;
    length -= static_cast<std::size_t>(written);
  }
}
