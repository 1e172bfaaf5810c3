// The queue's folder and files on POSIX: owner-only folders, files written
// through a temporary name and fsync, advisory locks (flock) that go with
// the process.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/posix_io.h"

namespace {

std::string parent_of(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

int sync_folder(const std::string& dir) {
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  const int result = fsync(fd);
  close(fd);
  return result;
}

std::string reason(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

int platform_queue_dir(std::string* dir) {
  const char* named = std::getenv("QUIB_QUEUE_DIR");
  const char* state = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  if (named != nullptr && named[0] != '\0') {
    *dir = named;
  } else if (state != nullptr && state[0] == '/') {
    *dir = std::string(state) + "/quib/queue";
  } else if (home != nullptr && home[0] != '\0') {
    *dir = std::string(home) + "/.local/state/quib/queue";
  } else {
    return -1;
  }
  return 0;
}

char platform_path_separator() { return '/'; }

int platform_make_private_folder(const std::string& dir, std::string* why) {
  // Parents are made as mkdir -p would (0700 as well: the state folders are
  // the user's own); the folder itself must end up ours and closed to others.
  for (std::size_t at = dir.find('/', 1); at != std::string::npos; at = dir.find('/', at + 1)) {
    mkdir(dir.substr(0, at).c_str(), 0700);
  }
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    *why = reason(dir.c_str());
    return -1;
  }
  struct stat info;
  if (lstat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    *why = dir + " is not a folder";
    return -1;
  }
  if (info.st_uid != geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    *why = dir + " can be written by others (chmod 700 it)";
    return kFolderOpenToOthers;
  }
  return 0;
}

int platform_store_durably(const std::string& tmp_path, const std::string& path,
                           const std::string& head, const PlatformTail& tail, std::string* why) {
  const int fd = open(tmp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    *why = reason(tmp_path.c_str());
    return -1;
  }
  const char* failed = nullptr;
  const char* block = nullptr;
  std::size_t length = 0;
  int got = write_all(fd, head.data(), head.size()) == 0 ? 1 : -2;
  while (got == 1 && (got = tail.next(tail.context, &block, &length)) == 1) {
    if (write_all(fd, block, length) != 0) got = -2;
  }
  if (got == -2) {
    failed = "writing";
  } else if (got < 0) {
    failed = "";
    *why = "the message text could not be read";
  } else if (fsync(fd) != 0) {
    failed = "flushing";
  }
  if (failed != nullptr && failed[0] != '\0') *why = reason(failed);
  if (close(fd) != 0 && failed == nullptr) *why = reason(failed = "closing");
  if (failed == nullptr && rename(tmp_path.c_str(), path.c_str()) != 0) {
    *why = reason(failed = "renaming");
  }
  if (failed != nullptr) {
    unlink(tmp_path.c_str());
    return -1;
  }
  if (sync_folder(parent_of(path)) != 0) {
    *why = reason("flushing the folder");
    return -1;
  }
  return 0;
}

int platform_move_durably(const std::string& from, const std::string& to) {
  if (rename(from.c_str(), to.c_str()) != 0) return -1;
  sync_folder(parent_of(to));
  return sync_folder(parent_of(from));
}

int platform_remove_file(const std::string& path) {
  if (unlink(path.c_str()) != 0) return -1;
  return sync_folder(parent_of(path));
}

int platform_list_files(const std::string& dir, std::vector<std::string>* names) {
  names->clear();
  DIR* folder = opendir(dir.c_str());
  if (folder == nullptr) return -1;
  while (const dirent* item = readdir(folder)) {
    struct stat info;
    const std::string path = dir + "/" + item->d_name;
    if (lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) names->push_back(item->d_name);
  }
  closedir(folder);
  std::sort(names->begin(), names->end());
  return 0;
}

int platform_open_locked(const std::string& path, PlatformFile* file) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? kEntryGone : -1;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int busy = errno == EWOULDBLOCK;
    close(fd);
    return busy ? kLockBusy : -1;
  }
  // Another flush may have sent and removed (or rewritten) the entry
  // between the open and the lock: the name must still lead to this file.
  struct stat held;
  struct stat named;
  if (fstat(fd, &held) != 0 || stat(path.c_str(), &named) != 0 || held.st_ino != named.st_ino ||
      held.st_dev != named.st_dev) {
    close(fd);
    return kEntryGone;
  }
  file->handle = fd;
  return 0;
}

std::string platform_absolute_path(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  std::string folder(4096, '\0');
  if (getcwd(&folder[0], folder.size()) == nullptr) return path;
  folder.resize(std::strlen(folder.c_str()));
  return folder + "/" + path;
}
