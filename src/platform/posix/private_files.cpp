// Private files on POSIX: the OAuth file, its lock and its atomic rewrite.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix_io.h"

namespace {

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

}  // namespace

int platform_read_private_file(const std::string& path, Secret* text) {
  const int fd = open_existing_for_reading(path.c_str());
  if (fd < 0) return kSecretAbsent;
  struct stat status {};
  int result = 0;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    result = kSecretAbsent;
  } else if ((status.st_mode & (S_IRGRP | S_IROTH)) != 0) {
    result = kSecretOpenToOthers;
  } else {
    char block[4096];
    long got = 0;
    while ((got = read(fd, block, sizeof block)) > 0 || (got < 0 && errno == EINTR)) {
      if (got > 0) text->append(std::string_view(block, static_cast<std::size_t>(got)));
    }
    wipe_bytes(block, sizeof block);
    if (got < 0) result = kSecretAbsent;
  }
  close(fd);
  return result;
}

int platform_lock(const std::string& lock_path, PlatformLock* lock) {
  const int fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return -1;
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      close(fd);
      return -1;
    }
  }
  lock->handle = fd;
  return 0;
}

void platform_unlock(PlatformLock* lock) {
  if (lock->handle < 0) return;
  close(static_cast<int>(lock->handle));  // closing gives the lock back
  lock->handle = -1;
}

bool platform_folder_writable(const std::string& path) {
  return access(folder_of(path).c_str(), W_OK | X_OK) == 0;
}

int platform_replace_file(const std::string& path, std::string_view text) {
  std::string temp = path + ".XXXXXX";
  const int fd = mkostemp(&temp[0], O_CLOEXEC);  // created 0600
  if (fd < 0) return -1;
  const bool written =
      write_all(fd, text.data(), text.size()) == 0 && fsync(fd) == 0 && close(fd) == 0;
  if (!written || rename(temp.c_str(), path.c_str()) != 0) {
    if (!written) close(fd);
    unlink(temp.c_str());
    return -1;
  }
  const int folder = open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    fsync(folder);  // the rename itself reaches the disk
    close(folder);
  }
  return 0;
}

void platform_sleep_ms(int milliseconds) {
  timespec wait{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

void* platform_load_system_library(const char* name) { return dlopen(name, RTLD_NOW | RTLD_LOCAL); }
