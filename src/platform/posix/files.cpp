// Message files, temporary files and console input on POSIX systems.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix_io.h"

namespace {

// Set by platform_fail_next_read_for_testing.
bool fail_next_read = false;

// One read request at most: Linux moves at most about 2 GiB per call anyway.
constexpr std::size_t kReadChunkBytes = std::size_t{1} << 30;
// Console input is read and the temporary file written in blocks of this size.
constexpr std::size_t kConsoleBlockBytes = 64 * 1024;
// Names tried before giving up on finding an unused temporary file name.
constexpr int kTempNameAttempts = 100;
// End of console input in text mode (Ctrl-Z).
constexpr char kEndOfInput = 26;

int fd_of(const PlatformFile& file) { return static_cast<int>(file.handle); }

// Reads up to length bytes; 0 at the end of input or on an error.
std::size_t read_some(int fd, char* data, std::size_t length) {
  for (;;) {
    const ssize_t got = read(fd, data, length);
    if (got < 0 && errno == EINTR) continue;
    return got > 0 ? static_cast<std::size_t>(got) : 0;
  }
}

// Text-mode translation of console input into the file's text: CR LF
// arrives as LF, a lone CR as itself, and every LF is written as CR LF.
struct ConsoleCopy {
  int out = -1;
  std::string pending;   // translated bytes not yet written
  bool held_cr = false;  // the last block ended in a CR: its meaning waits
  bool failed = false;

  void put(const char* bytes, std::size_t length) {
    pending.append(bytes, length);
    if (pending.size() >= kConsoleBlockBytes) flush();
  }
  void flush() {
    if (!failed && write_all(out, pending.data(), pending.size()) != 0) failed = true;
    pending.clear();
  }
  void put_char(char c) {
    if (c == '\n') {
      put("\r\n", 2);
    } else {
      put(&c, 1);
    }
  }
  // Takes one block of input; false once the end-of-input mark was seen.
  bool take(const char* block, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
      const char c = block[i];
      if (held_cr) {
        held_cr = false;
        if (c == '\n') {
          put_char('\n');
          continue;
        }
        put_char('\r');
      }
      if (c == kEndOfInput) return false;
      if (c == '\r') {
        held_cr = true;
      } else {
        put_char(c);
      }
    }
    return true;
  }
  void finish() {
    if (held_cr) put_char('\r');
    held_cr = false;
    flush();
  }
};

// A unique part for a temporary file name: eight hexadecimal digits.
std::string unique_part() {
  static std::mt19937 generator{std::random_device{}() ^ static_cast<unsigned>(getpid())};
  static const char kDigits[] = "0123456789ABCDEF";
  std::uint32_t value = generator();
  std::string part(8, '0');
  for (int i = 7; i >= 0; --i, value >>= 4) part[static_cast<std::size_t>(i)] = kDigits[value & 15];
  return part;
}

}  // namespace

int platform_open_for_reading(const char* name, PlatformFile* file) {
  // A FIFO opened this way is then refused as not being a disk file.
  const int fd = open_existing_for_reading(name);
  if (fd < 0) return -1;
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
#ifdef POSIX_FADV_SEQUENTIAL
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  file->handle = fd;
  return 0;
}

bool platform_is_disk_file(const PlatformFile& file) {
  struct stat info;
  return fstat(fd_of(file), &info) == 0 && S_ISREG(info.st_mode);
}

int platform_file_size(const PlatformFile& file, std::uint64_t* size) {
  struct stat info;
  if (fstat(fd_of(file), &info) != 0 || info.st_size < 0) return -1;
  *size = static_cast<std::uint64_t>(info.st_size);
  return 0;
}

int platform_read_exactly(const PlatformFile& file, char* buffer, std::uint64_t size) {
  if (fail_next_read) {
    fail_next_read = false;
    return -1;
  }
  while (size > 0) {
    const std::size_t want =
        size < kReadChunkBytes ? static_cast<std::size_t>(size) : kReadChunkBytes;
    const ssize_t got = read(fd_of(file), buffer, want);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return -1;  // an error, or the file ended early
    buffer += got;
    size -= static_cast<std::uint64_t>(got);
  }
  return 0;
}

void platform_close_file(PlatformFile* file) {
  if (file->handle >= 0) close(fd_of(*file));
  file->handle = -1;
}

int platform_delete_file(const char* name) { return unlink(name) == 0 ? 0 : -1; }

int platform_temp_dir(std::string* dir) {
  const char* tmpdir = std::getenv("TMPDIR");
  *dir = (tmpdir && tmpdir[0] != '\0') ? tmpdir : "/tmp";
  if (dir->back() != '/') dir->push_back('/');
  return 0;
}

int platform_create_temp_file(const std::string& dir, const char* prefix, std::string* name) {
  for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
    const std::string candidate = dir + prefix + unique_part() + ".tmp";
    const int fd =
        open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      close(fd);
      *name = candidate;
      return 0;
    }
    if (errno != EEXIST) break;
  }
  name->clear();
  return -1;
}

int platform_capture_console_input(const char* name) {
  if (name[0] == '\0') return -1;
  ConsoleCopy copy;
  copy.out = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (copy.out < 0) return -1;
  std::string block(kConsoleBlockBytes, '\0');
  for (;;) {
    const std::size_t got = read_some(STDIN_FILENO, &block[0], block.size());
    if (got == 0 || !copy.take(block.data(), got)) break;
  }
  copy.finish();
  const bool closed = close(copy.out) == 0;
  return copy.failed || !closed ? -1 : 0;
}

void platform_fail_next_read_for_testing() { fail_next_read = true; }
