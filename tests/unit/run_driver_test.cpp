// The run driver in process, against the scripted socket library and the
// fixed clock: what reaches the wire, what is printed, what is left behind.
#include "cli/run_driver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "cli/run_options.h"
#include "fakes/fake_gensock.h"
#include "quib/exit_status.h"
#include "quib/mailer_state.h"
#include "scratch_folder.h"
#include "smtp/socket_library.h"
#include "support/qp_reference.h"
#include "support/stdout_capture.h"

namespace {

const char kDateLine[] = "Date: Mon, 05 Feb 1996 09:03:07 +0100\r\n";
const char kMailer[] = "X-Mailer: <WinNT's Quib ver 1.5>\r\n";
const char kMime[] =
    "MIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=ISO-8859-1\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n";

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
    script_.replies =
        "220 fake\r\n250 hello\r\n250 sender ok\r\n250 recipient ok\r\n354 go on\r\n250 kept\r\n";
    fake::install(&script_);
  }
  void TearDown() override {
    if (g_state.library != nullptr) unload_socket_library();
    fake::install(nullptr);
    unsetenv("TMPDIR");
  }

  // A message file in the test's folder, named by message_file.
  void use_file(const std::string& bytes) {
    file_ = folder_ + "/body.txt";
    write_file(file_, bytes);
    message_file = file_.c_str();
  }

  // The header block for the file and the fixture's settings.
  std::string header(bool mime = false) const {
    return std::string(kDateLine) + "From: me@example.org\r\nSubject: Contents of file: " + file_ +
           "\r\nTo: ann@example.org\r\n" + (mime ? kMime : "") + kMailer + "\r\n";
  }

  int run_loud(std::string* output) {
    g_state.quiet = 0;
    StdoutCapture capture;
    const int status = run_driver();
    *output = capture.take();
    return status;
  }

  fake::Script script_;
  ScratchFolder scratch_{"quib-drv"};
  const std::string folder_ = scratch_.path();  // after scratch_, which makes it
  std::string tmpdir_, file_;
};

// The body is read in blocks: a NUL past the first still ends the text there.
TEST_F(RunDriverTest, PlainBodyEndsAtANulPastTheFirstReadBlock) {
  std::string lines;
  while (lines.size() < 300 * 1024) lines += std::string(998, 'a') + "\r\n";
  use_file(lines + std::string("\0tail", 5));
  EXPECT_EQ(run_driver(), kExitSent);
  EXPECT_TRUE(script_.data == header() + lines + ".\r\n") << "differs";
}

// The body is read and encoded in blocks: lines and soft breaks carry over.
TEST_F(RunDriverTest, MimeBodyLargerThanAReadBlockIsEncodedAsOne) {
  g_state.mime = 1;
  std::string body(600 * 1024, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 % 251);
  use_file(body);
  EXPECT_EQ(run_driver(), kExitSent);
  EXPECT_TRUE(script_.data == header(true) + qp_reference(body) + "\r\n.\r\n") << "differs";
}

// Only a blind copy: the list printed starts with the comma of the empty ones.
TEST_F(RunDriverTest, ProgressLinesOfABlindCopyAlone) {
  g_state.to_list = "";
  g_state.bcc_list = "bob@example.org";
  g_state.subject = "x";
  use_file("body\r\n");
  std::string output;
  EXPECT_EQ(run_loud(&output), kExitSent);
  EXPECT_EQ(output,
            "Sending " + file_ + " to ,bob@example.org\nSubject:x\nLogin name is me@example.org\n");
}

TEST_F(RunDriverTest, FilesThatCannotBeMailed) {
  struct Row {
    const char* name;
    int status;
    std::string message;
  } rows[] = {
      {"/nonexistent/quib/body.txt", kExitCantOpen,
       "error reading /nonexistent/quib/body.txt, aborting\n"},
      {"/tmp", kExitCantOpen, "error reading /tmp, aborting\n"},
  };
  for (const Row& row : rows) {
    message_file = row.name;
    std::string output;
    EXPECT_EQ(run_loud(&output), row.status) << row.name;
    EXPECT_EQ(output, row.message);
    EXPECT_EQ(script_.transcript, "") << "no connection";
    EXPECT_TRUE(g_state.recipients.empty());
  }
}

// An attachment fails as the body file would, named, before any traffic.
TEST_F(RunDriverTest, AttachmentsThatCannotBeMailed) {
  use_file("body\n");
  const std::string fine = folder_ + "/fine.txt";
  write_file(fine, "fine");
  for (const std::string name : {"/nonexistent/quib/a.pdf", "/dev/null", "/proc/self/mem"}) {
    g_options.message.attachments = {fine.c_str(), name.c_str()};
    std::string output;
    const int status = run_loud(&output);
    if (name == "/dev/null") {
      EXPECT_EQ(status, kExitNotDiskFile);
      EXPECT_EQ(output, "/dev/null: Sorry, I can only mail messages from disk files...\n");
    } else {
      EXPECT_EQ(status, name[1] == 'n' ? kExitCantOpen : kExitReadFailed) << name;
      EXPECT_EQ(output, "error reading " + name + ", aborting\n");
    }
    EXPECT_EQ(script_.transcript, "") << "no connection";
  }
}

// The parts on the wire: the body's, then each attachment's, then the end.
TEST_F(RunDriverTest, AttachmentsFollowTheBodyInParts) {
  use_file("hi\n.");
  const std::string attachment = folder_ + "/a.txt";
  write_file(attachment, "abcd");
  g_options.message.attachments = {attachment.c_str()};
  EXPECT_EQ(run_driver(), kExitSent);
  const std::string part = "\r\n--=_quib_00000000\r\nContent-Type: text/plain\r\n";
  EXPECT_EQ(script_.data,
            std::string(kDateLine) + "From: me@example.org\r\nSubject: Contents of file: " + file_ +
                "\r\nTo: ann@example.org\r\nMIME-Version: 1.0\r\nContent-Type: " +
                "multipart/mixed; boundary=\"=_quib_00000000\"\r\n" + kMailer + "\r\n" +
                part.substr(2) + "\r\nhi\r\n.." + part.substr(0, part.size() - 2) +
                "; name=\"a.txt\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: "
                "attachment; "
                "filename=\"a.txt\"\r\n\r\nYWJjZA==\r\n--=_quib_00000000--\r\n.\r\n");
}

// /proc/self/mem is a disk file whose size says 0 and whose first read fails.
TEST_F(RunDriverTest, ReadFailureIsStatusFiveInBothModes) {
  for (const std::string name : {"/proc/self/mem"}) {
    for (int mime = 0; mime <= 1; ++mime) {
      g_state.mime = mime;
      message_file = name.c_str();
      std::string output;
      EXPECT_EQ(run_loud(&output), kExitReadFailed) << name;
      EXPECT_EQ(output, "error reading " + name + ", aborting\n");
      EXPECT_EQ(script_.transcript, "") << "no connection";
    }
  }
}

}  // namespace
