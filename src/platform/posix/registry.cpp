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
//   <key folder>/<value name>.<type>                a value is a file
// Every key-path component and value name is escaped into a file name: the
// bytes A-Z a-z 0-9 '_' '-' stay, every other byte becomes %XX (upper-case
// hex). An escaped name holds no '.', so a key folder can never be taken for
// a value file, the type is always what follows the one '.', and no name can
// climb out of its folder. Key paths with an empty component, "." or ".."
// are refused.
//
// A value file holds exactly the bytes that were set, nothing else; its type
// is the name's suffix in decimal. "SMTP server" set as a REG_SZ (type 1) to
// "mail.example.com" and its NUL is the file "SMTP%20server.1" of 17 bytes.
// The suffix counts only as written: digits, no leading zero, at most
// 4294967295. Any entry not named "<escaped name>.<type>" is not a value and
// is ignored (a temporary ".tmp-XXXXXX" file, "x.value", "x.01").
//
// Values are written atomically: a temporary ".tmp-XXXXXX" file in the key's
// folder, fsync, rename to "<escaped name>.<type>" (replacing a file of the
// same type), then removal of the value's files with another type, then an
// fsync of the folder. A failed write leaves the old value as it was.
//
// A crash between the rename and the removal leaves two files of one value.
// A query then takes the one modified last; when both were modified at the
// same moment (a file system with coarse times) it takes the larger type, so
// the choice never depends on the order in which the folder lists its
// entries. The next write of the value removes the other file.
//
// A folder or any other entry that is not a regular file (a link, a pipe)
// under one of a value's names fails the query. A folder there also fails a
// write, before anything is written: it could be neither replaced nor
// removed.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_io.h"

namespace {

const char kDefaultRoot[] = "/var/lib/quib/registry";
const char kHiveFolder[] = "HKEY_LOCAL_MACHINE";
// The most digits a type suffix has: 4294967295, the largest 32-bit type.
constexpr std::size_t kTypeDigits = 10;

// One file under a value's name, as the folder listed it.
struct ValueFile {
  std::string path;
  std::uint32_t type = 0;
  struct stat info;  // of the entry itself: a link is not followed
};

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

// A type suffix as the writer makes it: decimal digits, no leading zero,
// within 32 bits. 0 on success.
int parse_type(const std::string& digits, std::uint32_t* type) {
  if (digits.empty() || digits.size() > kTypeDigits) return -1;
  if (digits[0] == '0' && digits.size() > 1) return -1;
  unsigned long long number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return -1;
    number = number * 10 + static_cast<unsigned>(c - '0');
  }
  if (number > UINT32_MAX) return -1;
  *type = static_cast<std::uint32_t>(number);
  return 0;
}

// Adds the entry to *files when it is "<escaped>.<type>". 0 unless it could
// not be looked at.
int take_if_value_file(const std::string& folder, const std::string& escaped, const char* entry,
                       std::vector<ValueFile>* files) {
  const std::string entry_name = entry;
  if (entry_name.compare(0, escaped.size() + 1, escaped + ".") != 0) return 0;
  ValueFile file;
  if (parse_type(entry_name.substr(escaped.size() + 1), &file.type) != 0) return 0;
  file.path = folder + "/" + entry_name;
  if (lstat(file.path.c_str(), &file.info) != 0) return errno == ENOENT ? 0 : -1;
  files->push_back(file);
  return 0;
}

// Every file of the folder under the escaped value name. 0 on success.
int list_value_files(const std::string& folder, const std::string& escaped,
                     std::vector<ValueFile>* files) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return -1;
  int result = 0;
  errno = 0;
  while (dirent* entry = readdir(dir)) {
    if (take_if_value_file(folder, escaped, entry->d_name, files) != 0) result = -1;
    errno = 0;
  }
  if (errno != 0) result = -1;
  closedir(dir);
  return result;
}

// True when a was modified after b, or at the same moment with a larger type.
bool newer(const ValueFile& a, const ValueFile& b) {
  if (a.info.st_mtim.tv_sec != b.info.st_mtim.tv_sec) {
    return a.info.st_mtim.tv_sec > b.info.st_mtim.tv_sec;
  }
  if (a.info.st_mtim.tv_nsec != b.info.st_mtim.tv_nsec) {
    return a.info.st_mtim.tv_nsec > b.info.st_mtim.tv_nsec;
  }
  return a.type > b.type;
}

// The file that holds the value: the newest, when a crash left two. None when
// there is no file, or when any entry under the name is no regular file.
const ValueFile* value_to_read(const std::vector<ValueFile>& files) {
  const ValueFile* chosen = nullptr;
  for (const ValueFile& file : files) {
    if (!S_ISREG(file.info.st_mode)) return nullptr;
    if (chosen == nullptr || newer(file, *chosen)) chosen = &file;
  }
  return chosen;
}

bool is_folder(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// mkdir -p: every missing folder along the path, mode 0755 whatever the
// umask, so that every user can read the settings.
int make_folders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string prefix = path.substr(0, slash);
    if (mkdir(prefix.c_str(), 0755) == 0) {
      if (chmod(prefix.c_str(), 0755) != 0) return -1;
    } else if (errno != EEXIST) {
      return -1;
    }
    if (slash == std::string::npos) break;
  }
  return is_folder(path) ? 0 : -1;
}

// Reads at most limit bytes of the regular file; *whole tells whether that
// was all. A link or anything but a regular file fails, without waiting.
int read_bounded(const std::string& path, std::size_t limit, std::string* bytes, bool* whole) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return -1;
  }
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

// Writes the bytes to a new temporary file in folder, flushed to disk.
int write_temporary(const std::string& folder, const unsigned char* data, std::size_t size,
                    std::string* temp) {
  *temp = folder + "/.tmp-XXXXXX";
  int fd = mkstemp(&(*temp)[0]);
  if (fd < 0) return -1;
  int result = (write_all(fd, data, size) == 0 && fchmod(fd, 0644) == 0 && fsync(fd) == 0) ? 0 : -1;
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

// Removes the value's files of another type than the one just written.
int remove_other_types(const std::vector<ValueFile>& files, std::uint32_t type) {
  int result = 0;
  for (const ValueFile& file : files) {
    if (file.type != type && unlink(file.path.c_str()) != 0 && errno != ENOENT) result = -1;
  }
  return result;
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
  std::vector<ValueFile> files;
  if (list_value_files(key.path, escape_name(name), &files) != 0) return -1;
  const ValueFile* file = value_to_read(files);
  if (file == nullptr) return -1;
  std::string bytes;
  bool whole = false;
  if (read_bounded(file->path, *size, &bytes, &whole) != 0) return -1;
  if (!whole) return -1;  // the value needs more room than was given
  if (!bytes.empty()) bytes.copy(reinterpret_cast<char*>(data), bytes.size());
  *type = file->type;
  *size = static_cast<std::uint32_t>(bytes.size());
  return 0;
}

int registry_set_value(const RegistryKey& key, const char* name, std::uint32_t type,
                       const unsigned char* data, std::uint32_t size) {
  if (key.path.empty()) return -1;
  const std::string escaped = escape_name(name);
  std::vector<ValueFile> files;
  if (list_value_files(key.path, escaped, &files) != 0) return -1;
  for (const ValueFile& file : files) {
    if (S_ISDIR(file.info.st_mode)) return -1;  // neither to replace nor to remove
  }
  std::string temp;
  if (write_temporary(key.path, data, size, &temp) != 0) return -1;
  const std::string target = key.path + "/" + escaped + "." + std::to_string(type);
  if (rename(temp.c_str(), target.c_str()) != 0) {
    unlink(temp.c_str());
    return -1;
  }
  int result = remove_other_types(files, type);
  sync_folder(key.path);
  return result;
}
