// Loading and saving the SMTP server and the sender, with the exact messages.
#include "cli/settings/settings_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "quib/mailer_state.h"
#include "scratch_folder.h"
#include "support/stdout_capture.h"

namespace {

class SettingsStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root_.empty());
    scratch_.use_as_registry();
    reset_run_state();
  }

  std::string key_dir() const { return root_ + "/HKEY_LOCAL_MACHINE/SOFTWARE/Wendfield/Quib"; }

  // Puts the bytes in the value's file as earlier versions or a person may.
  void store(const char* file, const std::string& bytes) {
    std::filesystem::create_directories(key_dir());
    std::ofstream(key_dir() + "/" + file, std::ios::binary) << bytes;
  }

  // Runs load_settings on emptied buffers; its result and what it printed.
  int load(std::string* printed) {
    g_state.smtp_server[0] = '\0';
    g_state.sender[0] = '\0';
    StdoutCapture capture;
    int result = load_settings();
    *printed = capture.take();
    return result;
  }

  int save(std::string* printed) {
    StdoutCapture capture;
    int result = save_settings();
    *printed = capture.take();
    return result;
  }

  ScratchFolder scratch_{"quib-settings"};
  const std::string root_ = scratch_.path();  // after scratch_, which makes it
};

std::string with_nul(const std::string& text) { return text + std::string(1, '\0'); }

TEST_F(SettingsStoreTest, SavedSettingsLoadBack) {
  std::strcpy(g_state.smtp_server, "mail.example.com");
  std::strcpy(g_state.sender, "me@example.com");
  std::string printed;
  ASSERT_EQ(save(&printed), 0);
  EXPECT_EQ(printed, "");
  ASSERT_EQ(load(&printed), 0);
  EXPECT_EQ(printed, "");
  EXPECT_STREQ(g_state.smtp_server, "mail.example.com");
  EXPECT_STREQ(g_state.sender, "me@example.com");
}

TEST_F(SettingsStoreTest, EmptySenderIsStoredAsOneNul) {
  std::strcpy(g_state.smtp_server, "mail");
  std::string printed;
  ASSERT_EQ(save(&printed), 0);
  std::ifstream in(key_dir() + "/Sender.1", std::ios::binary);
  std::string contents((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(contents, with_nul(""));  // the REG_SZ file holds the NUL alone
  EXPECT_EQ(load(&printed), 0);
  EXPECT_EQ(printed, "");
  EXPECT_STREQ(g_state.sender, "");
}

struct LoadCase {
  const char* what;
  std::string server;  // stored bytes, or "<none>" when not stored
  std::string sender;
  int result;
  const char* printed;
  const char* server_after;
  const char* sender_after;
};

const std::string kNone = "<none>";

TEST_F(SettingsStoreTest, LoadCases) {
  const std::string longest(255, 's');
  const LoadCase cases[] = {
      {"255 characters and the NUL", with_nul(longest), with_nul("me"), 0, "", longest.c_str(),
       "me"},
      {"256 characters and the NUL", with_nul(longest + "s"), with_nul("me"), 12,
       "Failed to read SMTP server value from the registry\n", "", ""},
      {"no NUL stored", "mail", "me", 0, "", "mail", "me"},
      {"256 bytes without a NUL leave no room", longest + "s", with_nul("me"), 12,
       "Failed to read SMTP server value from the registry\n", "", ""},
      {"text ends at the first NUL", std::string("ma\0il", 5), with_nul("me"), 0, "", "ma", "me"},
      {"a short text in 257 bytes needs more room", with_nul("ma") + longest, with_nul("me"), 12,
       "Failed to read SMTP server value from the registry\n", "", ""},
      {"an empty file is an empty text", "", with_nul("me"), 0, "", "", "me"},
      {"sender missing keeps the server", with_nul("mail"), kNone, 12,
       "Failed to read senders user name from the registry\n", "mail", ""},
      {"server missing: the sender is not read", kNone, with_nul("me"), 12,
       "Failed to read SMTP server value from the registry\n", "", ""},
      {"sender too long", with_nul("mail"), with_nul(longest + "s"), 12,
       "Failed to read senders user name from the registry\n", "mail", ""},
  };
  for (const LoadCase& c : cases) {
    SCOPED_TRACE(c.what);
    scratch_.clear();  // each row starts from an empty registry
    reset_run_state();
    if (c.server != kNone) store("SMTP%20server.1", c.server);
    if (c.sender != kNone) store("Sender.1", c.sender);
    std::string printed;
    EXPECT_EQ(load(&printed), c.result);
    EXPECT_EQ(printed, c.printed);
    EXPECT_STREQ(g_state.smtp_server, c.server_after);
    EXPECT_STREQ(g_state.sender, c.sender_after);
  }
}

TEST_F(SettingsStoreTest, MissingKeyFailsAndCreatesNothing) {
  std::string printed;
  EXPECT_EQ(load(&printed), 12);
  EXPECT_EQ(printed, "Failed to open registry key for Quib\n");
  struct stat info;
  EXPECT_NE(stat((root_ + "/HKEY_LOCAL_MACHINE").c_str(), &info), 0);
}

TEST_F(SettingsStoreTest, QuietSilencesTheMessages) {
  g_state.quiet = 1;
  std::string printed;
  EXPECT_EQ(load(&printed), 12);
  EXPECT_EQ(printed, "");
  setenv("QUIB_REGISTRY", "/dev/null/registry", 1);
  EXPECT_EQ(save(&printed), 10);
  EXPECT_EQ(printed, "");
}

TEST_F(SettingsStoreTest, KeyThatCannotBeCreated) {
  std::string file = root_ + "/plain";
  std::ofstream(file) << "x";
  setenv("QUIB_REGISTRY", (file + "/below").c_str(), 1);
  std::strcpy(g_state.smtp_server, "mail");
  std::string printed;
  EXPECT_EQ(save(&printed), 10);
  EXPECT_EQ(printed, "Error in creating quib key in the registry\n");
}

TEST_F(SettingsStoreTest, ValueThatCannotBeWritten) {
  // A folder where a value file should go makes the rename fail.
  ASSERT_TRUE(std::filesystem::create_directories(key_dir() + "/Sender.1/x"));
  std::strcpy(g_state.smtp_server, "new.example");
  std::string printed;
  EXPECT_EQ(save(&printed), 11);
  EXPECT_EQ(printed, "Error in setting sender address value in the registry\n");
  ASSERT_EQ(load(&printed), 12);  // the server is stored already, the sender is not
  EXPECT_STREQ(g_state.smtp_server, "new.example");

  std::filesystem::remove_all(key_dir());
  ASSERT_TRUE(std::filesystem::create_directories(key_dir() + "/SMTP%20server.1/x"));
  EXPECT_EQ(save(&printed), 11);
  EXPECT_EQ(printed, "Error in setting SMTP server value in the registry\n");
}

}  // namespace
