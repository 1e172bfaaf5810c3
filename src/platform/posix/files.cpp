// Message files, temporary files and console input on POSIX systems.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix_io.h"
#include "platform/read_exactly.h"

namespace {

// Console input is read and the temporary file written in blocks of this size.
constexpr std::size_t kConsoleBlockBytes = 64 * 1024;
// Names tried before giving up on finding an unused temporary file name.
constexpr int kTempNameAttempts = 100;
// End of console input in text mode (Ctrl-Z).
constexpr char kEndOfInput = 26;

int fd_of(const PlatformFile& file) { return static_cast<int>(file.handle); }

// Reads up to length bytes: the count, 0 at the end of input, -1 on an error.
// A closed descriptor is the end of input.
long read_some(int fd, char* data, std::size_t length) {
  for (;;) {
    const ssize_t got = read(fd, data, length);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EBADF) return 0;
    return got < 0 ? -1 : static_cast<long>(got);
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

// Signals whose default action ends the process and that a handler can
// catch (SIGKILL and SIGSTOP cannot be caught); the real-time signals join
// them at run time. While console input is captured each removes the
// temporary file before the process ends with it.
const int kGuardedSignals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,  SIGFPE,  SIGUSR1, SIGSEGV,
    SIGUSR2,   SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGPOLL, SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

bool is_guarded(int signal_number) {
  if (signal_number >= SIGRTMIN && signal_number <= SIGRTMAX) return true;
  for (int guarded : kGuardedSignals) {
    if (guarded == signal_number) return true;
  }
  return false;
}

// The name the handler removes: set with the signals blocked, so the
// handler never sees half of it. Null when nothing is guarded.
char* volatile g_guarded_name = nullptr;
struct sigaction g_previous[NSIG];
// A write beyond the file-size limit (ulimit -f) fails instead of ending the
// process, so that the capture can say so.
struct sigaction g_previous_file_size;
bool g_guarding = false;

extern "C" void remove_guarded_file(int signal_number) {
  char* name = g_guarded_name;
  if (name != nullptr) unlink(name);
  // SA_RESETHAND has put back the default action: the signal, raised again,
  // ends the process as it would have without the handler.
  raise(signal_number);
}

sigset_t guarded_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (is_guarded(signal_number)) sigaddset(&set, signal_number);
  }
  return set;
}

// Installs the handler for every guarded signal the run does not ignore.
void start_guarding() {
  if (g_guarding) return;
  struct sigaction action = {};
  action.sa_handler = remove_guarded_file;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (!is_guarded(signal_number)) continue;
    sigaction(signal_number, nullptr, &g_previous[signal_number]);
    if (g_previous[signal_number].sa_handler != SIG_IGN) {
      sigaction(signal_number, &action, nullptr);
    }
  }
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &g_previous_file_size);
  g_guarding = true;
}

void stop_guarding() {
  if (!g_guarding) return;
  const sigset_t set = guarded_set();
  sigset_t old;
  sigprocmask(SIG_BLOCK, &set, &old);
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (is_guarded(signal_number)) sigaction(signal_number, &g_previous[signal_number], nullptr);
  }
  sigaction(SIGXFSZ, &g_previous_file_size, nullptr);
  delete[] g_guarded_name;
  g_guarded_name = nullptr;
  g_guarding = false;
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

// Creates a new file in dir, named prefix, eight hexadecimal digits and
// ".tmp", for reading and writing by its owner only, never reusing or
// following an existing name. From the moment it exists until
// stop_guarding, the guarded signals remove it. The descriptor, or -1 with
// *name empty.
int create_guarded_temp_file(const std::string& dir, const char* prefix, std::string* name) {
  start_guarding();
  const sigset_t set = guarded_set();
  for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
    const std::string candidate = dir + prefix + unique_part() + ".tmp";
    char* copy = new (std::nothrow) char[candidate.size() + 1];
    if (copy == nullptr) break;
    std::memcpy(copy, candidate.c_str(), candidate.size() + 1);
    sigset_t old;
    sigprocmask(SIG_BLOCK, &set, &old);
    const int fd =
        open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    const int error = errno;
    char* replaced = nullptr;  // one file is guarded: the newest
    if (fd >= 0) {
      replaced = g_guarded_name;
      g_guarded_name = copy;
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    delete[] replaced;
    if (fd >= 0) {
      *name = candidate;
      return fd;
    }
    delete[] copy;
    if (error != EEXIST) break;
  }
  name->clear();
  return -1;
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

bool platform_is_pseudo_file(const PlatformFile& file) {
  // The magic numbers of proc and sysfs (linux/magic.h).
  constexpr unsigned long kProcMagic = 0x9fa0;
  constexpr unsigned long kSysfsMagic = 0x62656572;
  struct statfs info;
  if (fstatfs(fd_of(file), &info) != 0) return false;
  const unsigned long type = static_cast<unsigned long>(info.f_type);
  return type == kProcMagic || type == kSysfsMagic;
}

int platform_seek_file(const PlatformFile& file, std::uint64_t offset) {
  const off_t to = static_cast<off_t>(offset);
  return lseek(fd_of(file), to, SEEK_SET) == to ? 0 : -1;
}

int platform_read_exactly(const PlatformFile& file, char* buffer, std::uint64_t size,
                          std::uint64_t* got) {
  return read_exactly(buffer, size, got, [&file](char* at, std::size_t want) -> long {
    for (;;) {
      const ssize_t count = read(fd_of(file), at, want);
      if (count >= 0 || errno != EINTR) return static_cast<long>(count);
    }
  });
}

void platform_close_file(PlatformFile* file) {
  if (file->handle >= 0) close(fd_of(*file));
  file->handle = -1;
}

int platform_temp_dir(std::string* dir) {
  const char* tmpdir = std::getenv("TMPDIR");
  *dir = (tmpdir && tmpdir[0] != '\0') ? tmpdir : "/tmp";
  if (dir->back() != '/') dir->push_back('/');
  return 0;
}

int platform_capture_console_input(const std::string& dir, const char* prefix, std::string* name,
                                   PlatformFile* file) {
  ConsoleCopy copy;
  copy.out = create_guarded_temp_file(dir, prefix, name);
  if (copy.out < 0) return kCaptureCantCreate;
  file->handle = copy.out;
  std::string block(kConsoleBlockBytes, '\0');
  for (;;) {
    const long got = read_some(STDIN_FILENO, &block[0], block.size());
    if (got < 0) return kCaptureReadFailed;
    if (got == 0 || !copy.take(block.data(), static_cast<std::size_t>(got))) break;
  }
  copy.finish();
  if (copy.failed || lseek(copy.out, 0, SEEK_SET) != 0) return kCaptureWriteFailed;
  return 0;
}

void platform_discard_temp_file(const std::string& name) {
  if (!name.empty()) unlink(name.c_str());
  stop_guarding();
}

int platform_read_to_end(const PlatformFile& file, std::string* bytes) {
  char block[kConsoleBlockBytes];
  for (;;) {
    const long got = read_some(fd_of(file), block, sizeof block);
    if (got < 0) return -1;
    if (got == 0) return 0;
    try {
      bytes->append(block, static_cast<std::size_t>(got));
    } catch (const std::bad_alloc&) {
      return -1;  // larger than memory allows
    }
  }
}
