// The registry on POSIX: a tree of folders and files standing in for the
// local-machine hive.
//
// Root folder: /var/lib/quib/registry, machine-wide so that the settings hold
// for every user, and writable by root only, as the local-machine hive is on
// Windows. The environment variable QUIB_REGISTRY, when set and not empty,
// names another root folder instead (the tests always use it).
//
// Layout below the root:
//   <root>/HKEY_LOCAL_MACHINE/<key>/<subkey>/...   a key is a folder
//   <key folder>/<value name>.value                 a value is a file
// Every key-path component and value name is escaped into a file name: the
// bytes A-Z a-z 0-9 '_' '-' stay, every other byte becomes %XX (upper-case
// hex), so "SMTP server" is the file "SMTP%20server.value". An escaped name
// holds no '.', so a key folder can never be taken for a value file, and no
// name can climb out of its folder. Key paths with an empty component, "."
// or ".." are refused.
//
// A value file holds the value's type in decimal and a LF, then exactly the
// bytes that were set: "1\nmail.example.com\0" is a REG_SZ with its NUL.
// Values are written atomically: a temporary ".tmp-XXXXXX" file in the same
// folder, fsync, then rename over the old file; a failed write leaves the old
// value as it was.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

namespace {

const char kDefaultRoot[] = "/var/lib/quib/registry";
const char kHiveFolder[] = "HKEY_LOCAL_MACHINE";
const char kValueSuffix[] = ".value";
// The type header: at most 10 decimal digits (a 32-bit type) and the LF.
constexpr std::size_t kTypeHeaderBytes = 11;

std::string registry_root() {
  const char* root = std::getenv("QUIB_REGISTRY");
  return (root != nullptr && root[0] != '\0') ? root : kDefaultRoot;
}

bool keeps_as_is(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

std::string escape_name(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  for (unsigned char c : name) {
    if (keeps_as_is(c)) {
      escaped += static_cast<char>(c);
    } else {
      escaped += '%';
      escaped += kHex[c >> 4];
      escaped += kHex[c & 0x0F];
    }
  }
  return escaped;
}

// The folder of a key path such as "SOFTWARE\Wendfield\Quib". 0 on success.
int key_folder(const char* subkey, std::string* folder) {
  if (subkey == nullptr) return -1;
  *folder = registry_root() + "/" + kHiveFolder;
  std::string path = subkey;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = path.find('\\', start);
    std::string component = path.substr(start, end == std::string::npos ? end : end - start);
    if (component.empty() || component == "." || component == "..") return -1;
    *folder += "/" + escape_name(component);
    if (end == std::string::npos) return 0;
    start = end + 1;
  }
}

std::string value_file(const RegistryKey& key, const char* name) {
  return key.path + "/" + escape_name(name) + kValueSuffix;
}

bool is_folder(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// mkdir -p: every missing folder along the path, mode 0755.
int make_folders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string prefix = path.substr(0, slash);
    if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return -1;
    if (slash == std::string::npos) break;
  }
  return is_folder(path) ? 0 : -1;
}

int write_all(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    done += static_cast<std::size_t>(written);
  }
  return 0;
}

// Reads at most limit bytes of the file; *whole tells whether that was all.
int read_bounded(const std::string& path, std::size_t limit, std::string* bytes, bool* whole) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  bytes->assign(limit + 1, '\0');
  std::size_t done = 0;
  while (done < limit + 1) {
    ssize_t got = read(fd, &(*bytes)[done], limit + 1 - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      close(fd);
      return -1;
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  close(fd);
  *whole = done <= limit;
  bytes->resize(done <= limit ? done : limit);
  return 0;
}

// Splits "<type>\n<data>". 0 on success.
int parse_value(const std::string& bytes, std::uint32_t* type, std::size_t* data_start) {
  std::size_t newline = bytes.find('\n');
  if (newline == 0 || newline == std::string::npos || newline >= kTypeHeaderBytes) return -1;
  unsigned long long number = 0;
  for (std::size_t i = 0; i < newline; ++i) {
    if (bytes[i] < '0' || bytes[i] > '9') return -1;
    number = number * 10 + static_cast<unsigned>(bytes[i] - '0');
  }
  if (number > UINT32_MAX) return -1;
  *type = static_cast<std::uint32_t>(number);
  *data_start = newline + 1;
  return 0;
}

// Writes the bytes to a new temporary file in folder, flushed to disk.
int write_temporary(const std::string& folder, const std::string& bytes, std::string* temp) {
  *temp = folder + "/.tmp-XXXXXX";
  int fd = mkstemp(&(*temp)[0]);
  if (fd < 0) return -1;
  int result = (write_all(fd, bytes) == 0 && fchmod(fd, 0644) == 0 && fsync(fd) == 0) ? 0 : -1;
  if (close(fd) != 0) result = -1;
  if (result != 0) unlink(temp->c_str());
  return result;
}

void sync_folder(const std::string& folder) {
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);  // the rename is done; a failed folder sync only weakens durability
  close(fd);
}

}  // namespace

int registry_open_key(const char* subkey, RegistryKey* key) {
  std::string folder;
  if (key_folder(subkey, &folder) != 0) return -1;
  if (!is_folder(folder) || access(folder.c_str(), R_OK | X_OK) != 0) return -1;
  key->path = folder;
  return 0;
}

int registry_create_key(const char* subkey, RegistryKey* key) {
  std::string folder;
  if (key_folder(subkey, &folder) != 0) return -1;
  if (make_folders(folder) != 0 || access(folder.c_str(), W_OK | X_OK) != 0) return -1;
  key->path = folder;
  return 0;
}

int registry_query_value(const RegistryKey& key, const char* name, std::uint32_t* type,
                         unsigned char* data, std::uint32_t* size) {
  if (key.path.empty()) return -1;
  std::string bytes;
  bool whole = false;
  if (read_bounded(value_file(key, name), kTypeHeaderBytes + *size, &bytes, &whole) != 0) return -1;
  std::uint32_t value_type = 0;
  std::size_t start = 0;
  if (parse_value(bytes, &value_type, &start) != 0) return -1;
  std::size_t length = bytes.size() - start;
  if (!whole || length > *size) return -1;  // the value needs more room than was given
  bytes.copy(reinterpret_cast<char*>(data), length, start);
  *type = value_type;
  *size = static_cast<std::uint32_t>(length);
  return 0;
}

int registry_set_value(const RegistryKey& key, const char* name, std::uint32_t type,
                       const unsigned char* data, std::uint32_t size) {
  if (key.path.empty()) return -1;
  std::string bytes = std::to_string(type) + "\n";
  bytes.append(reinterpret_cast<const char*>(data), size);
  std::string temp;
  if (write_temporary(key.path, bytes, &temp) != 0) return -1;
  if (rename(temp.c_str(), value_file(key, name).c_str()) != 0) {
    unlink(temp.c_str());
    return -1;
  }
  sync_folder(key.path);
  return 0;
}
