// The run driver in process, against a scripted socket library that answers
// like a server and records every byte the dialogue hands it.
#include "cli/run_driver.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "message/header_block.h"
#include "message/quoted_printable.h"
#include "platform/platform.h"
#include "quib/exit_status.h"
#include "quib/mailer_state.h"
#include "scratch_folder.h"
#include "smtp/socket_library.h"

namespace {

// What the fake server says and what it was told.
struct FakeServer {
  std::deque<char> replies;           // bytes gensock_getchar hands out
  std::vector<std::string> commands;  // every gensock_put_data call
  std::string data;                   // every buffered byte, in order
  std::set<std::string> refused;      // RCPT commands answered 550
  std::string verdict = "250 kept\r\n";
  int connects = 0;
  int flushes = 0;
  int closes = 0;

  void reply(const std::string& text) { replies.insert(replies.end(), text.begin(), text.end()); }
};

FakeServer* server = nullptr;

int fake_connect(const char*, const char*, gensock_handle_t* handle) {
  ++server->connects;
  *handle = 7;
  server->reply("220 fake\r\n");
  return 0;
}

int fake_getchar(gensock_handle_t, int, char* ch) {
  if (server->replies.empty()) return 4016;
  *ch = server->replies.front();
  server->replies.pop_front();
  return 0;
}

int fake_put_data(gensock_handle_t, const char* data, unsigned long length) {
  const std::string command(data, length);
  server->commands.push_back(command);
  if (command.rfind("QUIT", 0) == 0) return 0;
  if (command.rfind("DATA", 0) == 0) {
    server->reply("354 go on\r\n");
  } else if (server->refused.count(command) != 0) {
    server->reply("550 no such user\r\n");
  } else {
    server->reply("250 ok\r\n");
  }
  return 0;
}

int fake_put_data_buffered(gensock_handle_t, const char* data, unsigned long length) {
  server->data.append(data, length);
  return 0;
}

int fake_put_data_flush(gensock_handle_t) {
  ++server->flushes;
  server->reply(server->verdict);
  return 0;
}

int fake_close(gensock_handle_t) {
  ++server->closes;
  return 0;
}

int fake_gethostname(char* name, int size) {
  std::snprintf(name, static_cast<std::size_t>(size), "testhost");
  return 0;
}

const GensockApi kFakeApi = {fake_connect,       fake_getchar,     fake_put_data,
                             fake_close,         fake_gethostname, fake_put_data_buffered,
                             fake_put_data_flush};

void write_file(const std::string& name, const std::string& bytes) {
  std::ofstream(name, std::ios::binary) << bytes;
}

class RunDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.empty());
    tmpdir_ = folder_ + "/tmp";
    ASSERT_EQ(mkdir(tmpdir_.c_str(), 0700), 0);
    setenv("TMPDIR", tmpdir_.c_str(), 1);
    reset_run_state();
    std::snprintf(g_state.smtp_server, kServerBytes, "fake");
    std::snprintf(g_state.sender, kSenderBytes, "me@example.org");
    g_state.quiet = 1;
    g_state.to_list = "ann@example.org";
    server = &server_;
    use_socket_library_for_testing(&kFakeApi);
  }
  void TearDown() override {
    use_socket_library_for_testing(nullptr);
    server = nullptr;
    unsetenv("TMPDIR");
  }

  // A message file in the test's folder, named by message_file.
  void use_file(const std::string& bytes) {
    file_ = folder_ + "/body.txt";
    write_file(file_, bytes);
    message_file = file_.c_str();
  }

  // Runs the driver with standard input read from the given bytes.
  int run_with_stdin(const std::string& bytes) {
    const std::string input = folder_ + "/stdin";
    write_file(input, bytes);
    const int saved = dup(0);
    const int fd = open(input.c_str(), O_RDONLY);
    dup2(fd, 0);
    close(fd);
    message_file = "-";
    const int status = run_driver();
    dup2(saved, 0);
    close(saved);
    return status;
  }

  int run_loud(std::string* output) {
    g_state.quiet = 0;
    testing::internal::CaptureStdout();
    const int status = run_driver();
    *output = testing::internal::GetCapturedStdout();
    return status;
  }

  std::string header() {
    std::string block;
    build_header_block(g_state, message_file, &block);
    return block;
  }

  bool tmpdir_empty() {
    return std::system(("test -z \"$(ls -A '" + tmpdir_ + "')\"").c_str()) == 0;
  }

  FakeServer server_;
  ScratchFolder scratch_{"quib-drv"};
  const std::string folder_ = scratch_.path();  // after scratch_, which makes it
  std::string tmpdir_, file_;
};

// The header block's date line may tick between two builds; compare without it.
std::string without_date(const std::string& text) {
  return text.rfind("Date: ", 0) == 0 ? text.substr(text.find("\r\n") + 2) : text;
}

TEST_F(RunDriverTest, PlainBodyEndsAtItsFirstNul) {
  use_file(std::string("one\r\ntwo\0three\r\n", 16));
  const std::string expected = header() + "one\r\ntwo";
  EXPECT_EQ(run_driver(), kExitSent);
  EXPECT_EQ(without_date(server_.data), without_date(expected + "\r\n.\r\n"));
  ASSERT_GE(server_.commands.size(), 1u);
  EXPECT_EQ(server_.commands.back(), "QUIT\r\n");
  EXPECT_EQ(server_.closes, 1);
  EXPECT_TRUE(g_state.recipients.empty());
}

TEST_F(RunDriverTest, MimeBodyIsEncodedWholeNulIncluded) {
  g_state.mime = 1;
  std::string body("caf\xe9 = x \r\n", 12);
  body += std::string(100, 'y') + std::string("\0tail\n", 6);
  use_file(body);
  std::string encoded;
  int line_length = 0;
  char piece[kQpPieceBytes];
  for (unsigned char c : body) {
    qp_encode_char(c, &line_length, piece);
    encoded += piece;
  }
  const std::string expected = header() + encoded;
  EXPECT_EQ(run_driver(), kExitSent);
  EXPECT_EQ(without_date(server_.data), without_date(expected + ".\r\n"));
}

TEST_F(RunDriverTest, EmptyFileSendsTheHeaderAlone) {
  for (int mime = 0; mime <= 1; ++mime) {
    server_ = FakeServer();
    g_state.mime = mime;
    use_file("");
    const std::string expected = header();
    EXPECT_EQ(run_driver(), kExitSent) << "mime " << mime;
    EXPECT_EQ(without_date(server_.data), without_date(expected + ".\r\n")) << "mime " << mime;
  }
}

TEST_F(RunDriverTest, ProgressLinesByteForByte) {
  struct Row {
    const char* to;
    const char* bcc;
    const char* subject;
    const char* expected_tail;  // after "Sending <file>"
  } rows[] = {
      {"ann@example.org", "", "Hello",
       " to ann@example.org\nSubject:Hello\nLogin name is me@example.org\n"},
      {"ann@example.org", "", "", " to ann@example.org\nLogin name is me@example.org\n"},
      {"", "", "", " to <unspecified>\nLogin name is me@example.org\n"},
      {"", "bob@example.org", "x",
       " to ,bob@example.org\nSubject:x\nLogin name is me@example.org\n"},
  };
  for (const Row& row : rows) {
    server_ = FakeServer();
    g_state.to_list = row.to;
    g_state.bcc_list = row.bcc;
    g_state.subject = row.subject;
    use_file("body\r\n");
    std::string output;
    EXPECT_EQ(run_loud(&output), kExitSent);
    EXPECT_EQ(output, "Sending " + file_ + row.expected_tail);
  }
}

TEST_F(RunDriverTest, FilesThatCannotBeMailed) {
  struct Row {
    const char* name;
    int status;
    std::string message;
  } rows[] = {
      {"/nonexistent/quib/body.txt", kExitCantOpen,
       "error reading /nonexistent/quib/body.txt, aborting\n"},
      {"/dev/null", kExitNotDiskFile, "Sorry, I can only mail messages from disk files...\n"},
      {"/tmp", kExitCantOpen, "error reading /tmp, aborting\n"},
  };
  for (const Row& row : rows) {
    message_file = row.name;
    std::string output;
    EXPECT_EQ(run_loud(&output), row.status) << row.name;
    EXPECT_EQ(output, row.message);
    EXPECT_EQ(server_.connects, 0);
    EXPECT_TRUE(g_state.recipients.empty());
  }
}

TEST_F(RunDriverTest, ReadFailureIsStatusFiveInBothModes) {
  for (int mime = 0; mime <= 1; ++mime) {
    g_state.mime = mime;
    use_file("body\r\n");
    platform_fail_next_read_for_testing();
    std::string output;
    EXPECT_EQ(run_loud(&output), kExitReadFailed);
    EXPECT_EQ(output, "error reading " + file_ + ", aborting\n");
    EXPECT_EQ(server_.connects, 0);
  }
}

TEST_F(RunDriverTest, ConsoleInputIsCapturedAndTheTemporaryFileDeleted) {
  g_state.quiet = 0;
  testing::internal::CaptureStdout();
  EXPECT_EQ(run_with_stdin(std::string("a\nb\r\nc\x1a"
                                       "after\n")),
            kExitSent);
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_NE(server_.data.find("\r\n\r\na\r\nb\r\nc\r\n.\r\n"), std::string::npos) << server_.data;
  EXPECT_EQ(server_.data.find("after"), std::string::npos);
  EXPECT_NE(server_.data.find("Subject: Contents of console input\r\n"), std::string::npos);
  // The progress line names the temporary file, already deleted.
  EXPECT_EQ(output.rfind("Sending " + tmpdir_ + "/qbx", 0), 0u) << output;
  EXPECT_TRUE(tmpdir_empty());
}

TEST_F(RunDriverTest, ConsoleInputTemporaryFileGoesOnFailureToo) {
  platform_fail_next_read_for_testing();
  g_state.quiet = 0;
  testing::internal::CaptureStdout();
  EXPECT_EQ(run_with_stdin("text\n"), kExitReadFailed);
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(output, "error reading " + temp_file_name + ", aborting\n");
  EXPECT_EQ(output.rfind("error reading " + tmpdir_ + "/qbx", 0), 0u);
  EXPECT_TRUE(tmpdir_empty());
}

TEST_F(RunDriverTest, MissingTemporaryFolderIsStatusThirteen) {
  setenv("TMPDIR", (folder_ + "/missing").c_str(), 1);
  g_state.quiet = 0;
  testing::internal::CaptureStdout();
  EXPECT_EQ(run_with_stdin("text\n"), kExitTempFile);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "error opening temporary file , aborting\n");
  EXPECT_EQ(server_.connects, 0);
}

TEST_F(RunDriverTest, RefusedRecipientEndsTheRunWithoutMoreCalls) {
  server_.refused.insert("RCPT To: <ann@example.org>\r\n");
  use_file("body\r\n");
  std::string output;
  EXPECT_EQ(run_loud(&output), kExitSmtpFailed);
  EXPECT_NE(output.find("The mail server doesn't like the name ann@example.org."),
            std::string::npos);
  EXPECT_EQ(server_.commands.back(), "QUIT\r\n");
  EXPECT_TRUE(server_.data.empty());
  EXPECT_EQ(server_.closes, 1);
  EXPECT_EQ(socket_library_calls_for_testing().unloads, 1);
}

TEST_F(RunDriverTest, RefusedMessageClosesOnce) {
  server_.verdict = "554 no\r\n";
  use_file("body\r\n");
  std::string output;
  EXPECT_EQ(run_loud(&output), kExitSmtpFailed);
  EXPECT_NE(output.find("Message not accepted by server\n"), std::string::npos);
  int quits = 0;
  for (const std::string& command : server_.commands) quits += command == "QUIT\r\n";
  EXPECT_EQ(quits, 1);
  EXPECT_EQ(server_.closes, 1);
  EXPECT_EQ(socket_library_calls_for_testing().unloads, 1);
}

}  // namespace
