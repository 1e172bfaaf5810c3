// The folder-based registry: keys, typed values, size limits and atomic writes.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/platform.h"
#include "scratch_folder.h"

namespace {

const char kKey[] = "SOFTWARE\\Wendfield\\Quib";

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root_.empty());
    scratch_.use_as_registry();
  }

  std::string key_dir() const { return root_ + "/HKEY_LOCAL_MACHINE/SOFTWARE/Wendfield/Quib"; }

  int set_text(const RegistryKey& key, const char* name, const std::string& bytes,
               std::uint32_t type = kRegSz) {
    return registry_set_value(key, name, type, reinterpret_cast<const unsigned char*>(bytes.data()),
                              static_cast<std::uint32_t>(bytes.size()));
  }

  // Queries with the given capacity; the bytes read, or "<failed>".
  std::string query(const RegistryKey& key, const char* name, std::uint32_t capacity,
                    std::uint32_t* type = nullptr) {
    std::string data(capacity, '\0');
    std::uint32_t size = capacity;
    std::uint32_t got_type = 0;
    if (registry_query_value(key, name, &got_type, reinterpret_cast<unsigned char*>(&data[0]),
                             &size) != 0) {
      return "<failed>";
    }
    if (type) *type = got_type;
    return data.substr(0, size);
  }

  ScratchFolder scratch_{"quib-regtest"};
  const std::string root_ = scratch_.path();  // after scratch_, which makes it
};

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

int entries_in(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(dir)) {
    if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..") ++count;
  }
  closedir(dir);
  return count;
}

TEST_F(RegistryTest, OpenNeverCreatesAndCreateMakesTheParents) {
  RegistryKey key;
  EXPECT_NE(registry_open_key(kKey, &key), 0);
  struct stat info;
  EXPECT_NE(stat((root_ + "/HKEY_LOCAL_MACHINE").c_str(), &info), 0);

  ASSERT_EQ(registry_create_key(kKey, &key), 0);
  ASSERT_EQ(stat(key_dir().c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));

  RegistryKey opened;
  EXPECT_EQ(registry_open_key(kKey, &opened), 0);
  EXPECT_EQ(registry_create_key(kKey, &opened), 0);  // opening an existing key
}

TEST_F(RegistryTest, BadKeyPathsAreRefused) {
  const char* const bad[] = {
      "",           "SOFTWARE\\..\\x",  "..", "SOFTWARE\\\\Quib", "SOFTWARE\\",
      "\\SOFTWARE", "SOFTWARE\\.\\Quib"};
  for (const char* subkey : bad) {
    RegistryKey key;
    EXPECT_NE(registry_create_key(subkey, &key), 0) << subkey;
    EXPECT_NE(registry_open_key(subkey, &key), 0) << subkey;
  }
  EXPECT_EQ(entries_in(root_), 0);
}

TEST_F(RegistryTest, RootBelowARegularFileFails) {
  std::string file = root_ + "/plain";
  std::ofstream(file) << "x";
  setenv("QUIB_REGISTRY", (file + "/registry").c_str(), 1);
  RegistryKey key;
  EXPECT_NE(registry_create_key(kKey, &key), 0);
  EXPECT_NE(registry_open_key(kKey, &key), 0);
  setenv("QUIB_REGISTRY", file.c_str(), 1);  // the root itself a regular file
  EXPECT_NE(registry_create_key(kKey, &key), 0);
}

TEST_F(RegistryTest, ValueKeepsItsBytesAndType) {
  RegistryKey key;
  ASSERT_EQ(registry_create_key(kKey, &key), 0);
  ASSERT_EQ(set_text(key, "SMTP server", std::string("mail.example\0", 13)), 0);
  ASSERT_EQ(set_text(key, "Blob", std::string("a\nb\0c", 5), kRegBinary), 0);

  std::uint32_t type = 0;
  EXPECT_EQ(query(key, "SMTP server", 256, &type), std::string("mail.example\0", 13));
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(query(key, "Blob", 256, &type), std::string("a\nb\0c", 5));
  EXPECT_EQ(type, kRegBinary);
  EXPECT_EQ(query(key, "Missing", 256), "<failed>");

  // The layout other tools and tests rely on: "<escaped name>.<type>" holding
  // exactly the bytes that were set.
  EXPECT_EQ(read_file(key_dir() + "/SMTP%20server.1"), std::string("mail.example\0", 13));
  EXPECT_EQ(read_file(key_dir() + "/Blob.3"), std::string("a\nb\0c", 5));
  EXPECT_EQ(entries_in(key_dir()), 2);
}

TEST_F(RegistryTest, EveryTypeFitsTheFileName) {
  RegistryKey key;
  ASSERT_EQ(registry_create_key(kKey, &key), 0);
  const std::uint32_t types[] = {0, 10, 4294967295u};
  for (std::uint32_t type : types) {
    ASSERT_EQ(set_text(key, "Typed", "t", type), 0) << type;
    std::uint32_t got = 1;
    EXPECT_EQ(query(key, "Typed", 8, &got), "t") << type;
    EXPECT_EQ(got, type);
    EXPECT_EQ(read_file(key_dir() + "/Typed." + std::to_string(type)), "t");
    EXPECT_EQ(entries_in(key_dir()), 1) << type;  // the file of the type before is gone
  }
}

TEST_F(RegistryTest, ReplacingChangesBytesAndType) {
  RegistryKey key;
  ASSERT_EQ(registry_create_key(kKey, &key), 0);
  ASSERT_EQ(set_text(key, "Sender", std::string("first@long.example\0", 19)), 0);
  ASSERT_EQ(set_text(key, "Sender", "ab", kRegBinary), 0);
  std::uint32_t type = 0;
  EXPECT_EQ(query(key, "Sender", 256, &type), "ab");
  EXPECT_EQ(type, kRegBinary);
  // The REG_SZ file is gone, and no temporary file is left behind.
  EXPECT_EQ(entries_in(key_dir()), 1);
  EXPECT_EQ(read_file(key_dir() + "/Sender.3"), "ab");
  ASSERT_EQ(set_text(key, "Sender", "cd", kRegBinary), 0);  // the same type: renamed over
  EXPECT_EQ(read_file(key_dir() + "/Sender.3"), "cd");
  EXPECT_EQ(entries_in(key_dir()), 1);
}

TEST_F(RegistryTest, QueryFailsWhenTheValueNeedsMoreRoom) {
  RegistryKey key;
  ASSERT_EQ(registry_create_key(kKey, &key), 0);
  std::string value(256, 'x');
  ASSERT_EQ(set_text(key, "Big", value), 0);
  EXPECT_EQ(query(key, "Big", 256), value);
  EXPECT_EQ(query(key, "Big", 255), "<failed>");
  ASSERT_EQ(set_text(key, "Empty", ""), 0);
  EXPECT_EQ(query(key, "Empty", 0), "");
  EXPECT_EQ(query(key, "Empty", 256), "");
}

TEST_F(RegistryTest, NamesCannotLeaveTheKeyFolder) {
  RegistryKey key;
  ASSERT_EQ(registry_create_key(kKey, &key), 0);
  const char* const names[] = {"../escape", "a/b", ".tmp-x", "", "Quib", "%20"};
  for (const char* name : names) {
    ASSERT_EQ(set_text(key, name, name), 0) << name;
  }
  for (const char* name : names) {
    EXPECT_EQ(query(key, name, 64), name) << name;
  }
  EXPECT_EQ(entries_in(key_dir()), 6);
  EXPECT_EQ(entries_in(root_ + "/HKEY_LOCAL_MACHINE/SOFTWARE/Wendfield"), 1);
}

TEST_F(RegistryTest, SubkeyAndValueOfTheSameNameLiveSideBySide) {
  RegistryKey parent, child;
  ASSERT_EQ(registry_create_key("SOFTWARE\\Wendfield", &parent), 0);
  ASSERT_EQ(set_text(parent, "Quib", "value"), 0);
  ASSERT_EQ(registry_create_key(kKey, &child), 0);
  EXPECT_EQ(query(parent, "Quib", 64), "value");
}

TEST_F(RegistryTest, FailedWriteKeepsTheOldValue) {
  RegistryKey key;
  ASSERT_EQ(registry_create_key(kKey, &key), 0);
  ASSERT_EQ(set_text(key, "Sender", "old"), 0);

  // Files may grow to 16 bytes only: the new value's write fails half way.
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  void (*previous)(int) = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 16;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  int result = set_text(key, "Sender", std::string(100, 'n'));
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);

  EXPECT_NE(result, 0);
  EXPECT_EQ(query(key, "Sender", 256), "old");
  EXPECT_EQ(entries_in(key_dir()), 1);  // the temporary file is gone
}

TEST_F(RegistryTest, FilesAndFoldersGetTheirModes) {
  mode_t previous = umask(022);
  RegistryKey key;
  ASSERT_EQ(registry_create_key(kKey, &key), 0);
  ASSERT_EQ(set_text(key, "Sender", "x"), 0);
  umask(previous);
  struct stat info;
  ASSERT_EQ(stat(key_dir().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0755u);
  ASSERT_EQ(stat((key_dir() + "/Sender.1").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);
}

// Files a crash or a person may leave in a key folder.
class RegistryLeftoversTest : public RegistryTest {
 protected:
  void SetUp() override {
    RegistryTest::SetUp();
    ASSERT_EQ(registry_create_key(kKey, &key_), 0);
  }
  void put(const std::string& file, const std::string& bytes) {
    std::ofstream(key_dir() + "/" + file, std::ios::binary | std::ios::trunc) << bytes;
  }
  // Sets the file's modification time to the given second and nanosecond.
  void touch(const std::string& file, time_t second, long nanosecond = 0) {
    timespec times[2] = {{second, nanosecond}, {second, nanosecond}};
    ASSERT_EQ(utimensat(AT_FDCWD, (key_dir() + "/" + file).c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  }
  RegistryKey key_;
};

TEST_F(RegistryLeftoversTest, StrayFilesAreIgnored) {
  const char* const strays[] = {"Sender.value",      "Sender.",           "Sender.x1",
                                "Sender.1x",         "Sender.01",         "Sender.+1",
                                "Sender.-1",         "Sender.1.1",        "Sender",
                                "SenderX.1",         "X.Sender.1",        ".tmp-ab12cd",
                                "Sender.4294967296", "Sender.99999999999"};
  for (const char* stray : strays) put(stray, "stray");
  EXPECT_EQ(query(key_, "Sender", 256), "<failed>");
  ASSERT_EQ(set_text(key_, "Sender", "real", kRegBinary), 0);
  std::uint32_t type = 0;
  EXPECT_EQ(query(key_, "Sender", 256, &type), "real");
  EXPECT_EQ(type, kRegBinary);
  // Writing leaves the strays alone: they are no file of the value.
  EXPECT_EQ(entries_in(key_dir()), static_cast<int>(std::size(strays)) + 1);
}

TEST_F(RegistryLeftoversTest, TwoTypesLeftByACrashTheNewestWins) {
  put("Sender.1", "older");
  put("Sender.3", "newer");
  touch("Sender.1", 1000000000);
  touch("Sender.3", 1000000000, 1);  // one nanosecond later
  std::uint32_t type = 0;
  EXPECT_EQ(query(key_, "Sender", 256, &type), "newer");
  EXPECT_EQ(type, kRegBinary);

  touch("Sender.1", 1000000001);
  EXPECT_EQ(query(key_, "Sender", 256, &type), "older");
  EXPECT_EQ(type, kRegSz);

  touch("Sender.3", 1000000001);  // the same moment: the larger type wins
  EXPECT_EQ(query(key_, "Sender", 256, &type), "newer");
  EXPECT_EQ(type, kRegBinary);

  // The next write leaves one file.
  ASSERT_EQ(set_text(key_, "Sender", "again"), 0);
  EXPECT_EQ(query(key_, "Sender", 256, &type), "again");
  EXPECT_EQ(entries_in(key_dir()), 1);
  EXPECT_EQ(read_file(key_dir() + "/Sender.1"), "again");
}

TEST_F(RegistryLeftoversTest, NoRegularFileUnderTheNameFailsTheQuery) {
  const std::string target = scratch_.path() + "/elsewhere";
  struct Case {
    const char* what;
    int (*make)(const std::string& path, const std::string& target);
  };
  const Case cases[] = {
      {"a folder", [](const std::string& p, const std::string&) { return mkdir(p.c_str(), 0755); }},
      {"a link to a file",
       [](const std::string& p, const std::string& t) { return symlink(t.c_str(), p.c_str()); }},
      {"a pipe", [](const std::string& p, const std::string&) { return mkfifo(p.c_str(), 0644); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    scratch_.clear();
    std::ofstream(target) << "linked";
    ASSERT_EQ(registry_create_key(kKey, &key_), 0);
    ASSERT_EQ(c.make(key_dir() + "/Sender.1", target), 0);
    EXPECT_EQ(query(key_, "Sender", 256), "<failed>");
    // Beside a good file of another type, and whichever is newer.
    put("Sender.3", "good");
    touch("Sender.3", 2000000000);
    EXPECT_EQ(query(key_, "Sender", 256), "<failed>");
    touch("Sender.1", 2100000000);
    EXPECT_EQ(query(key_, "Sender", 256), "<failed>");
  }
}

TEST_F(RegistryLeftoversTest, AFolderUnderTheNameStopsTheWrite) {
  ASSERT_EQ(set_text(key_, "Sender", "old"), 0);
  ASSERT_EQ(mkdir((key_dir() + "/Sender.3").c_str(), 0755), 0);
  EXPECT_NE(set_text(key_, "Sender", "new"), 0);  // of the type already there
  EXPECT_NE(set_text(key_, "Sender", "new", 7), 0);
  EXPECT_EQ(read_file(key_dir() + "/Sender.1"), "old");
  EXPECT_EQ(entries_in(key_dir()), 2);  // nothing written, no temporary file

  ASSERT_EQ(rmdir((key_dir() + "/Sender.3").c_str()), 0);
  ASSERT_EQ(mkdir((key_dir() + "/Other.1").c_str(), 0755), 0);
  EXPECT_NE(set_text(key_, "Other", "new"), 0);  // a folder where the file would go
  EXPECT_EQ(entries_in(key_dir()), 2);
  EXPECT_EQ(query(key_, "Sender", 256), "old");
}

TEST_F(RegistryLeftoversTest, OtherEntriesUnderTheNameAreReplaced) {
  const std::string target = scratch_.path() + "/elsewhere";
  std::ofstream(target) << "linked";
  ASSERT_EQ(symlink(target.c_str(), (key_dir() + "/Sender.1").c_str()), 0);
  ASSERT_EQ(mkfifo((key_dir() + "/Sender.3").c_str(), 0644), 0);
  ASSERT_EQ(set_text(key_, "Sender", "new"), 0);
  EXPECT_EQ(query(key_, "Sender", 256), "new");
  EXPECT_EQ(entries_in(key_dir()), 1);
  EXPECT_EQ(read_file(target), "linked");  // the link itself was replaced
}

}  // namespace
