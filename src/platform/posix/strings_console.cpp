// String comparison, the existence test of a file and console output on POSIX.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "common/ascii.h"
#include "platform/platform.h"
#include "platform/posix/posix_io.h"

int platform_compare(const char* a, const char* b) { return std::strcmp(a, b); }

// Only the 26 ASCII letters fold; every other byte compares as it stands,
// whatever the locale says.
int platform_compare_nocase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    const int difference =
        static_cast<unsigned char>(ascii_lower(*a)) - static_cast<unsigned char>(ascii_lower(*b));
    if (difference != 0 || *a == '\0') return difference;
  }
}

// A device or a FIFO counts as existing (the caller later refuses what is
// not a disk file), a folder does not.
bool platform_file_exists(const char* name) {
  if (name == nullptr || name[0] == '\0') return false;
  const int fd = open_existing_for_reading(name);
  if (fd < 0) return false;
  close(fd);
  return true;
}

bool platform_is_folder(const char* name) {
  struct stat info {};
  return stat(name, &info) == 0 && S_ISDIR(info.st_mode);
}

void platform_prepare_process() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    // The lowest free descriptor is this one, as the lower ones are open.
    const int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0 && null_fd != fd) close(null_fd);
  }
  signal(SIGPIPE, SIG_IGN);
}

void platform_write_stdout(const char* data, std::size_t length) {
  write_all(STDOUT_FILENO, data, length);  // a failure has nowhere left to be reported
}

void platform_write_stderr(const char* data, std::size_t length) {
  write_all(STDERR_FILENO, data, length);
}

bool platform_stderr_is_terminal() { return isatty(STDERR_FILENO) == 1; }

// A carriage return goes back to the line's start; ESC [ K clears the rest.
void platform_show_status_line(const std::string& line) {
  const std::string shown = "\r" + line + "\x1b[K";
  platform_write_stderr(shown.data(), shown.size());
}

std::int64_t platform_monotonic_ms() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
