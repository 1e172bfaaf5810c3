// The stored settings on POSIX: one small file per value.
//
// Folder: <root>/HKEY_LOCAL_MACHINE/SOFTWARE/Wendfield/Quib. The root is
// /var/lib/quib/registry, machine-wide so that the settings hold for every
// user and writable by root only, as the local-machine hive is on Windows;
// QUIB_REGISTRY, when set and not empty, names another root (the tests
// always use it). The key's folders get 0755 and files 0644 whatever the
// umask and whatever they had, so every user can read the settings and only
// their owner can change them.
//
// A value is the file "<escaped name>.1" holding the text and its NUL. In the
// name the bytes A-Z a-z 0-9 '_' '-' stay and every other byte becomes %XX
// (upper-case hex), so no name can leave the folder: "SMTP server" is
// "SMTP%20server.1". The ".1" (the registry's REG_SZ) is what earlier
// versions wrote; their settings read on.
//
// A value is written atomically: a temporary ".tmp-XXXXXX" file in the
// folder, fsync, rename over the value's file, fsync of the folder. A failed
// write leaves the old value as it was. Reading takes a regular file only:
// a link, a folder or a pipe under the name fails the read, without waiting.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix_io.h"

namespace {

const char kDefaultRoot[] = "/var/lib/quib/registry";
const char kKeyFolder[] = "/HKEY_LOCAL_MACHINE/SOFTWARE/Wendfield/Quib";
const char kTextSuffix[] = ".1";

std::string settings_root() {
  const char* root = std::getenv("QUIB_REGISTRY");
  return root != nullptr && root[0] != '\0' ? root : kDefaultRoot;
}

std::string settings_folder() { return settings_root() + kKeyFolder; }

bool keeps_as_is(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

std::string value_path(const std::string& folder, const char* name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string path = folder + "/";
  for (const char* at = name; *at != '\0'; ++at) {
    const unsigned char c = static_cast<unsigned char>(*at);
    if (keeps_as_is(c)) {
      path += static_cast<char>(c);
    } else {
      path += '%';
      path += kHex[c >> 4];
      path += kHex[c & 0x0F];
    }
  }
  return path + kTextSuffix;
}

bool is_folder(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// mkdir -p: every missing folder along the path, mode 0755 whatever the umask.
int make_folders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (mkdir(prefix.c_str(), 0755) == 0) {
      if (chmod(prefix.c_str(), 0755) != 0) return -1;
    } else if (errno != EEXIST) {
      return -1;
    }
    if (slash == std::string::npos) break;
  }
  return is_folder(path) ? 0 : -1;
}

// The key's folders below the root, made where missing and set to 0755 even
// where they were found otherwise: nobody but their owner may change the settings.
int make_key_folders(const std::string& root) {
  std::string folder = root + kKeyFolder;
  if (make_folders(folder) != 0) return -1;
  for (; folder.size() > root.size(); folder.erase(folder.rfind('/'))) {
    if (chmod(folder.c_str(), 0755) != 0) return -1;
  }
  return 0;
}

// Reads at most capacity bytes of the regular file at path into data.
// 0 on success, with the count in *size.
int read_regular_file(const std::string& path, char* data, std::size_t capacity,
                      std::size_t* size) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat info;
  int result = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? 0 : -1;
  *size = 0;
  while (result == 0 && *size < capacity) {
    const ssize_t got = read(fd, data + *size, capacity - *size);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) result = -1;
    if (got <= 0) break;
    *size += static_cast<std::size_t>(got);
  }
  close(fd);
  return result;
}

void sync_folder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);  // the rename is done; a failed folder sync only weakens durability
  close(fd);
}

}  // namespace

int platform_read_setting(const char* name, char* text) {
  const std::string folder = settings_folder();
  if (!is_folder(folder) || access(folder.c_str(), R_OK | X_OK) != 0) return kSettingKeyFailed;
  char data[kSettingBytes + 1];  // the byte beyond shows a value that needs more room
  std::size_t size = 0;
  if (read_regular_file(value_path(folder, name), data, sizeof data, &size) != 0) {
    return kSettingValueFailed;
  }
  const void* nul = std::memchr(data, '\0', size);
  const std::size_t length = nul != nullptr ? static_cast<const char*>(nul) - data : size;
  if (size > kSettingBytes || length >= kSettingBytes) return kSettingValueFailed;
  std::memcpy(text, data, length);
  text[length] = '\0';
  return 0;
}

int platform_write_setting(const char* name, const char* text) {
  const std::string folder = settings_folder();
  if (make_key_folders(settings_root()) != 0 || access(folder.c_str(), W_OK | X_OK) != 0) {
    return kSettingKeyFailed;
  }
  std::string temp = folder + "/.tmp-XXXXXX";
  const int fd = mkstemp(&temp[0]);
  if (fd < 0) return kSettingValueFailed;
  bool written =
      write_all(fd, text, std::strlen(text) + 1) == 0 && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
  if (close(fd) != 0) written = false;
  if (!written || rename(temp.c_str(), value_path(folder, name).c_str()) != 0) {
    unlink(temp.c_str());
    return kSettingValueFailed;
  }
  sync_folder(folder);
  return 0;
}
