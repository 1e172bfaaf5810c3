// Message files, temporary files and console capture on POSIX.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/platform.h"
#include "scratch_folder.h"

namespace {

void write_file(const std::string& name, const std::string& bytes) {
  std::ofstream(name, std::ios::binary) << bytes;
}

// What text-mode console input stored as a text file must give, one byte
// at a time: CR LF and lone LF become CR LF, a lone CR stays, Ctrl-Z ends.
std::string model_capture(const std::string& input) {
  std::string out;
  for (std::size_t i = 0; i < input.size(); ++i) {
    const char c = input[i];
    if (c == 26) break;
    if (c == '\r' && i + 1 < input.size() && input[i + 1] == '\n') continue;
    out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  }
  return out;
}

class PosixFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(folder_.empty()); }

  // Captures standard input opened on `in` into a temporary file in the
  // folder; returns the result and the text read back through the file.
  int capture_from(const std::string& in, std::string* text, std::string* name) {
    const int saved = dup(0);
    const int fd = open(in.c_str(), O_RDONLY);
    dup2(fd, 0);
    close(fd);
    PlatformFile file;
    const int result = platform_capture_console_input(folder_ + "/", "qbx", name, &file);
    dup2(saved, 0);
    close(saved);
    if (result == 0) {
      EXPECT_EQ(platform_read_to_end(file, text), 0);
    }
    platform_close_file(&file);
    platform_discard_temp_file(*name);
    return result;
  }
  std::string capture(const std::string& input) {
    const std::string in = folder_ + "/stdin";
    write_file(in, input);
    std::string text, name;
    EXPECT_EQ(capture_from(in, &text, &name), 0);
    return text;
  }

  ScratchFolder scratch_{"quib-files"};
  const std::string folder_ = scratch_.path();  // after scratch_, which makes it
};

TEST_F(PosixFilesTest, ConsoleCaptureTranslatesLineEnds) {
  struct Row {
    std::string input, stored;
  } rows[] = {
      {"", ""},
      {"abc\n", "abc\r\n"},
      {"abc\r\n", "abc\r\n"},
      {"a\rb", "a\rb"},
      {"a\r\r\nb", "a\r\r\nb"},
      {"end\r", "end\r"},
      {"x\r\x1ay", "x\r"},
      {"\x1a"
       "after",
       ""},
      {"one\ntwo\x1athree\n\x1a", "one\r\ntwo"},
      {std::string("n\0l\n", 4), std::string("n\0l\r\n", 5)},
  };
  for (const Row& row : rows) EXPECT_EQ(capture(row.input), row.stored) << row.input;
}

TEST_F(PosixFilesTest, ConsoleCaptureHandlesCrAtEveryBlockBoundary) {
  // Long input with CR LF, lone CR and CR CR LF; shifting it by 0 to 9 bytes
  // puts each of them across the reading block boundaries.
  std::string unit = "ab\r\ncd\r\re\r";
  std::string body;
  while (body.size() < 300000) body += unit;
  for (int shift = 0; shift < 10; ++shift) {
    const std::string input = std::string(static_cast<std::size_t>(shift), 'x') + body;
    ASSERT_EQ(capture(input), model_capture(input)) << "shift " << shift;
  }
}

TEST_F(PosixFilesTest, CaptureFailsWithoutAFileOrWithoutInput) {
  std::string text, name = "stale";
  PlatformFile file;
  EXPECT_EQ(platform_capture_console_input(folder_ + "/missing/", "qbx", &name, &file),
            kCaptureCantCreate);
  EXPECT_TRUE(name.empty());
  EXPECT_EQ(capture_from(folder_, &text, &name), kCaptureReadFailed);  // input is a folder
  EXPECT_EQ(access(name.c_str(), F_OK), -1);                           // and nothing is left
}

TEST_F(PosixFilesTest, TemporaryFilesAreNewPrivatePrefixedAndGone) {
  const std::string in = folder_ + "/stdin";
  write_file(in, "x");
  PlatformFile first, second;
  std::string one, two;
  ASSERT_EQ(platform_capture_console_input(folder_ + "/", "qbx", &one, &first), 0);
  ASSERT_EQ(platform_capture_console_input(folder_ + "/", "qbx", &two, &second), 0);
  EXPECT_NE(one, two);
  EXPECT_EQ(one.rfind(folder_ + "/qbx", 0), 0u);
  struct stat info;
  ASSERT_EQ(stat(one.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  for (auto* f : {&first, &second}) platform_close_file(f);
  for (auto* n : {&one, &two}) platform_discard_temp_file(*n);
  EXPECT_EQ(access(one.c_str(), F_OK), -1);
}

TEST_F(PosixFilesTest, TemporaryFolderEndsWithSlash) {
  struct Row {
    const char* tmpdir;
    std::string expected;
  } rows[] = {{"/var/tmp", "/var/tmp/"},
              {"/var/tmp/", "/var/tmp/"},
              {"", "/tmp/"},
              {nullptr, "/tmp/"},
              {"/no/such/folder", "/no/such/folder/"}};
  for (const Row& row : rows) {
    if (row.tmpdir) {
      setenv("TMPDIR", row.tmpdir, 1);
    } else {
      unsetenv("TMPDIR");
    }
    std::string dir;
    EXPECT_EQ(platform_temp_dir(&dir), 0);
    EXPECT_EQ(dir, row.expected);
  }
  unsetenv("TMPDIR");
}

TEST_F(PosixFilesTest, ReadsWholeFilesAndRefusesShortOnes) {
  const std::string name = folder_ + "/f";
  write_file(name, "0123456789");
  PlatformFile file;
  ASSERT_EQ(platform_open_for_reading(name.c_str(), &file), 0);
  EXPECT_TRUE(platform_is_disk_file(file));
  std::uint64_t size = 0;
  ASSERT_EQ(platform_file_size(file, &size), 0);
  EXPECT_EQ(size, 10u);
  char buffer[12] = {};
  EXPECT_EQ(platform_read_exactly(file, buffer, 10), 0);
  EXPECT_EQ(std::string(buffer), "0123456789");
  platform_close_file(&file);

  ASSERT_EQ(platform_open_for_reading(name.c_str(), &file), 0);
  EXPECT_NE(platform_read_exactly(file, buffer, 11), 0);  // the file ends early
  platform_close_file(&file);

  // A file whose size says 0 is read to its real end.
  ASSERT_EQ(platform_open_for_reading("/proc/self/status", &file), 0);
  ASSERT_EQ(platform_file_size(file, &size), 0);
  EXPECT_EQ(size, 0u);
  std::string status;
  EXPECT_EQ(platform_read_to_end(file, &status), 0);
  EXPECT_NE(status.find("Pid:"), std::string::npos);
  platform_close_file(&file);
}

TEST_F(PosixFilesTest, DevicesPipesAndFoldersAreNoDiskFiles) {
  const std::string fifo = folder_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& name : {std::string("/dev/null"), fifo}) {
    PlatformFile file;
    ASSERT_EQ(platform_open_for_reading(name.c_str(), &file), 0) << name;  // no writer: no hang
    EXPECT_FALSE(platform_is_disk_file(file)) << name;
    platform_close_file(&file);
  }
  PlatformFile file;
  EXPECT_NE(platform_open_for_reading(folder_.c_str(), &file), 0);
  EXPECT_NE(platform_open_for_reading((folder_ + "/none").c_str(), &file), 0);
}

// A large buffer holds every byte asked for, odd sizes past a huge page too,
// and one the address space cannot hold is refused, not half made.
TEST(LargeBuffer, HoldsItsSizeAndRefusesTheImpossible) {
  for (std::uint64_t size : {std::uint64_t{1}, std::uint64_t{(5 << 20) + 3}}) {
    LargeBuffer buffer;
    ASSERT_EQ(platform_reserve_large(size, &buffer), 0) << size;
    buffer.data[0] = 'a';
    buffer.data[size - 1] = 'z';
    EXPECT_EQ(buffer.data[size - 1], 'z');
    platform_release_large(&buffer);
    EXPECT_EQ(buffer.data, nullptr);
  }
  LargeBuffer buffer;
  EXPECT_NE(platform_reserve_large(std::uint64_t{1} << 62, &buffer), 0);
  EXPECT_EQ(buffer.data, nullptr);
}

}  // namespace
