// The settings files on POSIX: where they live, what they hold, their modes,
// atomic writes, and what a read refuses.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/platform.h"
#include "scratch_folder.h"

namespace {

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

mode_t mode_of(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root_.empty());
    scratch_.use_as_registry();
  }

  std::string key_dir() const { return root_ + "/HKEY_LOCAL_MACHINE/SOFTWARE/Wendfield/Quib"; }

  // The text read, or "<key>" / "<value>" for the failure.
  std::string read(const char* name) {
    char text[kSettingBytes];
    std::memset(text, '?', sizeof text);
    const int result = platform_read_setting(name, text);
    if (result == kSettingKeyFailed) return "<key>";
    if (result == kSettingValueFailed) return "<value>";
    return result == 0 ? std::string(text) : "<" + std::to_string(result) + ">";
  }

  ScratchFolder scratch_{"quib-regtest"};
  const std::string root_ = scratch_.path();  // after scratch_, which makes it
};

TEST_F(RegistryTest, ReadNeverCreatesWriteMakesEveryFolderReadableByAll) {
  EXPECT_EQ(read("Sender"), "<key>");
  EXPECT_EQ(entries_in(root_), 0);

  const mode_t previous = umask(077);
  const int result = platform_write_setting("SMTP server", "first.example");
  umask(previous);
  ASSERT_EQ(result, 0);
  for (std::string folder = key_dir(); folder != root_; folder.erase(folder.rfind('/'))) {
    EXPECT_EQ(mode_of(folder), 0755u) << folder;
  }
  EXPECT_EQ(mode_of(key_dir() + "/SMTP%20server.1"), 0644u);
  EXPECT_EQ(read_file(key_dir() + "/SMTP%20server.1"), std::string("first.example\0", 14));
  EXPECT_EQ(read("SMTP server"), "first.example");
  EXPECT_EQ(read("Sender"), "<value>");  // the key is there, the value is not

  // Folders and file that anyone could write are taken back to 0755 and 0644.
  for (std::string folder = key_dir(); folder != root_; folder.erase(folder.rfind('/'))) {
    ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
  }
  ASSERT_EQ(chmod((key_dir() + "/SMTP%20server.1").c_str(), 0666), 0);
  ASSERT_EQ(platform_write_setting("SMTP server", "mx"), 0);  // replaced whole
  for (std::string folder = key_dir(); folder != root_; folder.erase(folder.rfind('/'))) {
    EXPECT_EQ(mode_of(folder), 0755u) << folder;
  }
  EXPECT_EQ(mode_of(key_dir() + "/SMTP%20server.1"), 0644u);
  EXPECT_EQ(read_file(key_dir() + "/SMTP%20server.1"), std::string("mx\0", 3));
  EXPECT_EQ(entries_in(key_dir()), 1);  // no temporary file left
}

TEST_F(RegistryTest, NamesStayInTheKeyFolder) {
  const struct {
    const char* name;
    const char* file;
  } cases[] = {
      {"Sender", "Sender.1"},
      {"../up", "%2E%2E%2Fup.1"},
      {"a.b\\c", "a%2Eb%5Cc.1"},
      {"100%", "100%25.1"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(platform_write_setting(c.name, c.file), 0) << c.name;
    EXPECT_EQ(read_file(key_dir() + "/" + c.file), std::string(c.file) + '\0') << c.name;
    EXPECT_EQ(read(c.name), c.file);
  }
  EXPECT_EQ(entries_in(key_dir()), static_cast<int>(std::size(cases)));
  EXPECT_EQ(entries_in(root_ + "/HKEY_LOCAL_MACHINE/SOFTWARE/Wendfield"), 1);
}

TEST_F(RegistryTest, RootThatCannotHoldTheKey) {
  const std::string file = root_ + "/plain";
  std::ofstream(file) << "x";
  for (const std::string& root : {file + "/registry", file}) {
    setenv("QUIB_REGISTRY", root.c_str(), 1);
    EXPECT_EQ(platform_write_setting("Sender", "me"), kSettingKeyFailed) << root;
    EXPECT_EQ(read("Sender"), "<key>") << root;
  }
  EXPECT_EQ(read_file(file), "x");
}

TEST_F(RegistryTest, FailedWritesKeepTheOldValue) {
  ASSERT_EQ(platform_write_setting("Sender", "old"), 0);

  // Files may grow to 16 bytes only: the new value's write fails half way.
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  void (*previous)(int) = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 16;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const int result = platform_write_setting("Sender", std::string(100, 'n').c_str());
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(result, kSettingValueFailed);
  EXPECT_EQ(read("Sender"), "old");

  // A folder where the value's file goes cannot be replaced.
  ASSERT_EQ(mkdir((key_dir() + "/SMTP%20server.1").c_str(), 0755), 0);
  EXPECT_EQ(platform_write_setting("SMTP server", "mail"), kSettingValueFailed);
  EXPECT_EQ(entries_in(key_dir()), 2);  // no temporary file left by either
}

TEST_F(RegistryTest, OnlyTheValuesRegularFileIsRead) {
  const std::string elsewhere = root_ + "/elsewhere";
  const struct {
    const char* what;
    int (*make)(const std::string& value_file, const std::string& elsewhere);
  } cases[] = {
      {"a folder", [](const std::string& v, const std::string&) { return mkdir(v.c_str(), 0755); }},
      {"a link to a good file",
       [](const std::string& v, const std::string& e) { return symlink(e.c_str(), v.c_str()); }},
      {"a pipe without a writer",
       [](const std::string& v, const std::string&) { return mkfifo(v.c_str(), 0644); }},
      {"a file of another type only",
       [](const std::string& v, const std::string& e) {
         return rename(e.c_str(), (v.substr(0, v.size() - 1) + "3").c_str());
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    scratch_.clear();
    ASSERT_EQ(platform_write_setting("SMTP server", "mail"), 0);
    std::ofstream(elsewhere) << std::string("good\0", 5);
    ASSERT_EQ(c.make(key_dir() + "/Sender.1", elsewhere), 0);
    EXPECT_EQ(read("Sender"), "<value>");
    EXPECT_EQ(read("SMTP server"), "mail");
  }
}

}  // namespace
