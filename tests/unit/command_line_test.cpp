// The walk of the command line into g_state, and the string and file tests
// it stands on. Whole runs (output and exit status) are covered end to end.
#include "cli/command_line.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "cli/usage.h"
#include "platform/platform.h"
#include "quib/mailer_state.h"
#include "scratch_folder.h"
#include "support/stdout_capture.h"

namespace {

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.empty());
    scratch_.use_as_registry("registry");
    body_ = dir_ + "/body.txt";
    std::ofstream(body_) << "hello\n";
    reset_run_state();
  }

  // parse_command_line over "quib" and the given arguments, output discarded.
  std::optional<int> parse(std::vector<const char*> args) {
    args_ = std::move(args);
    args_.insert(args_.begin(), "quib");
    StdoutCapture discarded;
    std::optional<int> status = parse_command_line(static_cast<int>(args_.size()), args_.data());
    discarded.take();
    return status;
  }

  ScratchFolder scratch_{"quib-cmdline"};
  const std::string dir_ = scratch_.path();  // after scratch_, which makes it
  std::string body_;
  std::vector<const char*> args_;
};

TEST_F(CommandLineTest, OptionsReferToTheirArguments) {
  ASSERT_EQ(parse({body_.c_str(), "-t", "a@x", "-S", "subj", "-C", "c@x", "-b", "b@x", "-f", "me@x",
                   "-i", "from@x", "-penguin"}),
            std::nullopt);
  EXPECT_STREQ(g_state.to_list, "a@x");
  EXPECT_STREQ(g_state.subject, "subj");
  EXPECT_STREQ(g_state.cc_list, "c@x");
  EXPECT_STREQ(g_state.bcc_list, "b@x");
  EXPECT_STREQ(g_state.login, "me@x");
  EXPECT_STREQ(g_state.from_address, "from@x");
  EXPECT_EQ(g_state.from_given, 1);
  EXPECT_EQ(g_state.header_only_body, 1);
  EXPECT_EQ(args_[3], g_state.to_list);  // referred to, not copied
}

TEST_F(CommandLineTest, LaterValueReplacesEarlierAndServerIsCopied) {
  ASSERT_EQ(parse({body_.c_str(), "-t", "one", "-T", "two", "-server", "a", "-SERVER", "b"}),
            std::nullopt);
  EXPECT_STREQ(g_state.to_list, "two");
  EXPECT_STREQ(g_state.smtp_server, "b");
}

TEST_F(CommandLineTest, ValueThatLooksLikeAnOptionIsTaken) {
  ASSERT_EQ(parse({body_.c_str(), "-s", "-h", "-t", "-q"}), std::nullopt);
  EXPECT_STREQ(g_state.subject, "-h");
  EXPECT_STREQ(g_state.to_list, "-q");
}

TEST_F(CommandLineTest, LongestServerFitsAndOneMoreIsRefusedWhole) {
  std::string longest(255, 'a');
  ASSERT_EQ(parse({body_.c_str(), "-server", longest.c_str()}), std::nullopt);
  EXPECT_EQ(std::string(g_state.smtp_server), longest);
  std::string too_long(256, 'b');
  EXPECT_EQ(parse({body_.c_str(), "-server", too_long.c_str()}), 1);
  EXPECT_EQ(std::string(g_state.smtp_server), longest);
}

TEST_F(CommandLineTest, UsageTextHasTwentyThreeLinesWithAlignedColons) {
  ASSERT_EQ(usage_line_count, 23u);
  for (std::size_t line = 9; line <= 19; ++line) {
    EXPECT_EQ(std::string(usage_lines[line]).find(':'), 14u) << usage_lines[line];
  }
}

TEST(PlatformStrings, CompareExactAndIgnoringAsciiCase) {
  EXPECT_EQ(platform_compare("-f", "-f"), 0);
  EXPECT_NE(platform_compare("-F", "-f"), 0);
  EXPECT_NE(platform_compare("-f", "-fx"), 0);
  EXPECT_EQ(platform_compare_nocase("-INSTALL", "-install"), 0);
  EXPECT_EQ(platform_compare_nocase("-SeRvEr", "-server"), 0);
  EXPECT_NE(platform_compare_nocase("-s", "-server"), 0);
  EXPECT_NE(platform_compare_nocase("-server", "-s"), 0);
  EXPECT_NE(platform_compare_nocase("\xC9", "\xE9"), 0);  // Latin-1 E acute: not ASCII
  EXPECT_NE(platform_compare_nocase("[", "{"), 0);        // 0x5B and 0x7B differ by 0x20
  EXPECT_LT(platform_compare_nocase("a", "B"), 0);
}

TEST_F(CommandLineTest, MessageFileExists) {
  std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_TRUE(message_file_exists("-"));
  EXPECT_TRUE(message_file_exists(body_.c_str()));
  EXPECT_TRUE(message_file_exists(fifo.c_str()));  // exists; not opened blocking
  EXPECT_TRUE(message_file_exists("/dev/null"));
  EXPECT_FALSE(message_file_exists(""));
  EXPECT_FALSE(message_file_exists("--"));
  EXPECT_FALSE(message_file_exists(dir_.c_str()));  // a folder is not a file
  EXPECT_FALSE(message_file_exists((dir_ + "/missing").c_str()));
  EXPECT_FALSE(message_file_exists((body_ + "/below").c_str()));
}

}  // namespace
