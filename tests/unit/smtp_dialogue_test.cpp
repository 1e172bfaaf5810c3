// The SMTP dialogue against a scripted socket library: what the server
// answers, the exact calls the client makes, and what it prints.
#include "smtp/smtp_dialogue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fakes/fake_gensock.h"
#include "quib/console.h"
#include "quib/mailer_state.h"
#include "quib/text_source.h"
#include "scratch_folder.h"
#include "smtp/socket_library.h"
#include "smtp/transcript.h"
#include "support/stdout_capture.h"

namespace {

constexpr int kLimit = 1000;  // any limit: the fake never waits

const char kGreetingToData[] = "220 hi\r\n250 hello\r\n250 sender ok\r\n";
const char kDataOk[] = "354 go ahead\r\n";

class Dialogue : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_run_state();
    std::strcpy(g_state.smtp_server, "mail.example");
    fake::install(&script_);
  }
  void TearDown() override {
    if (g_state.library != nullptr) unload_socket_library();
    fake::install(nullptr);
  }

  // The session and the transaction up to DATA, without a login or options.
  int open_mail(const char* sender, const std::string& recipients) {
    if (int status = smtp_open_session(sender, recipients, nullptr, {}, &smtp_)) return status;
    return smtp_start_mail(sender, recipients, false, "", {}, &smtp_);
  }

  // The whole transaction as the run driver makes it.
  int run(const std::string& recipients, const std::string& text = "H: v\r\n\r\nbody\r\n") {
    if (open_mail("me@example.org", recipients) != 0) return -1;
    WholeText whole(text.data(), text.size());
    if (smtp_finish_message(&whole, &smtp_) != 0) return -1;
    smtp_quit();
    smtp_disconnect();
    return 0;
  }

  // What the dialogue printed since the last clear.
  std::string& out() {
    out_ += capture_.take();
    return out_;
  }

  fake::Script script_;
  SmtpSession smtp_;
  StdoutCapture capture_;
  std::string out_;
};

TEST_F(Dialogue, WholeTransaction) {
  script_.replies = std::string(kGreetingToData) + "250 a\r\n250 b\r\n" + kDataOk + "250 kept\r\n";
  EXPECT_EQ(run("ann@x.org, bob@y.org", "H: v\r\n\r\n.body\n"), 0);
  EXPECT_EQ(script_.transcript,
            "connect mail.example smtp\n"
            "gethostname\n"
            "S: 220 hi\r\n"
            "C: HELO client.example\r\n"
            "S: 250 hello\r\n"
            "C: MAIL From:<me@example.org>\r\n"
            "S: 250 sender ok\r\n"
            "C: RCPT To: <ann@x.org>\r\n"
            "S: 250 a\r\n"
            "C: RCPT To: <bob@y.org>\r\n"
            "S: 250 b\r\n"
            "C: DATA\r\n"
            "S: 354 go ahead\r\n"
            "data\n"
            "flush\n"
            "S: 250 kept\r\n"
            "C: QUIT\r\n"
            "close\n");
  EXPECT_EQ(script_.data, "H: v\r\n\r\n..body\r\n.\r\n");
  // Each reply has one limit in all: greeting, HELO, MAIL and RCPT 5
  // minutes, DATA 2, the end of the data 10.
  EXPECT_EQ(script_.reply_limits,
            (std::vector<int>{300000, 300000, 300000, 300000, 300000, 120000, 600000}));
  EXPECT_EQ(out(), "");
  EXPECT_EQ(g_state.library, nullptr);
  EXPECT_EQ(script_.bad_calls, 0);
}

// A library without gensock_set_trace: the transcript holds quib's side.
TEST_F(Dialogue, TranscriptThroughAForeignLibrary) {
  ScratchFolder folder("quib-transcript");
  const std::string log = folder.path() + "/quib.log";
  script_.capabilities = fake::kForeign;
  script_.replies = std::string(kGreetingToData) + "550 no\a\r\n";
  ASSERT_EQ(transcript_open(false, log.c_str()), 0);
  EXPECT_EQ(run("ann@x.org"), -1);
  transcript_close();
  std::ifstream file(log);
  std::string lines, line;
  while (std::getline(file, line)) lines += line.substr(line.find(" ms ") + 4) + "\n";
  // The fake library is the one beside this program.
  const std::string beside = std::filesystem::read_symlink("/proc/self/exe").parent_path();
  EXPECT_EQ(lines, "* socket library gwinsock.dll loaded from " + beside +
                       "/libgwinsock.so\n"
                       "* the socket library keeps no trace of its own\n"
                       "* connecting to mail.example (service smtp)\n"
                       "* connected\n"
                       "< 220 hi\n"
                       "> HELO client.example\n"
                       "< 250 hello\n"
                       "> MAIL From:<me@example.org>\n"
                       "< 250 sender ok\n"
                       "> RCPT To: <ann@x.org>\n"
                       "< 550 no\\x07\n"
                       "> QUIT\n");
  // What failed goes to whoever ends the run, as the transcript names it.
  EXPECT_TRUE(smtp_.step.failed);
  EXPECT_EQ(smtp_.step.shown + ": " + smtp_.step.reason, "RCPT To: <ann@x.org>: 550 no\\x07");
}

TEST_F(Dialogue, ReplyThatCameWithTheDataGoAheadIsRefused) {
  script_.replies = std::string(kGreetingToData) + "250 a\r\n354 go\r\n250 early\r\n";
  script_.arrived = script_.replies.size();  // all of it was there when polled
  EXPECT_EQ(run("ann@x.org"), -1);
  EXPECT_EQ(out(), "Mail server error accepting message data\n");
  EXPECT_EQ(script_.transcript.find("data\n"), std::string::npos) << "no byte of the text";
  EXPECT_NE(script_.transcript.find("C: DATA\r\nS: 354 go\r\nC: QUIT\r\nclose\n"),
            std::string::npos);
  EXPECT_EQ(script_.bad_calls, 0);
}

TEST_F(Dialogue, MultiLineRepliesAreReadWhole) {
  script_.replies =
      "220-first\r\n220 second\r\n250-a\r\n250-b\r\n250 c\r\n250 ok\r\n354 go\r\n250 kept\r\n";
  EXPECT_EQ(run(""), 0);
  EXPECT_NE(script_.transcript.find("S: 220-first\r\nS: 220 second\r\nC: HELO"), std::string::npos);
  EXPECT_NE(script_.transcript.find("S: 250-a\r\nS: 250-b\r\nS: 250 c\r\nC: MAIL"),
            std::string::npos);
  // No recipients: DATA follows the accepted MAIL directly.
  EXPECT_NE(script_.transcript.find("C: MAIL From:<me@example.org>\r\nS: 250 ok\r\nC: DATA"),
            std::string::npos);
}

struct Recipients {
  const char* list;
  const char* rcpts;  // the RCPT commands, in order
};

TEST_F(Dialogue, RecipientListIsSplitAtSeparators) {
  const Recipients kCases[] = {
      {"ann, bob", "<ann>,<bob>,"},
      {"ann,, bob", "<ann>,<bob>,"},
      {"ann,", "<ann>,"},
      {"", ""},
      {",bob", "<bob>,"},  // an empty element sends nothing
      {" \t\r\nann\n\tbob ,", "<ann>,<bob>,"},
      {",,, ", ""},
  };
  for (const Recipients& c : kCases) {
    script_ = fake::Script();
    script_.replies = kGreetingToData;
    for (const char* p = c.rcpts; *p; ++p) script_.replies += *p == '<' ? "250 ok\r\n" : "";
    script_.replies += kDataOk;
    EXPECT_EQ(open_mail("me", c.list), 0) << c.list;
    std::string rcpts;
    std::size_t at = 0;
    while ((at = script_.transcript.find("C: RCPT To: ", at)) != std::string::npos) {
      at += std::strlen("C: RCPT To: ");
      rcpts += script_.transcript.substr(at, script_.transcript.find("\r\n", at) - at) + ",";
    }
    EXPECT_EQ(rcpts, c.rcpts) << "list: " << ::testing::PrintToString(std::string(c.list));
  }
}

struct Refusal {
  const char* replies;
  const char* printed;
  const char* last_command;  // the command the refusal answered ("" for the greeting)
};

const Refusal kRefusals[] = {
    {"554 go away\r\n", "SMTP server error\n", ""},
    {"220 hi\r\n501 who?\r\n", "SMTP server error\n", "HELO client.example\r\n"},
    {"220 hi\r\n250 hello\r\n553 no\r\n",
     "The mail server doesn't like the sender name,\n"
     "have you set your mail address correctly?\n",
     "MAIL From:<me@example.org>\r\n"},
    {"220 hi\r\n250 hello\r\n250 ok\r\n251 forwarded\r\n",
     "The mail server doesn't like the name ann.\nHave you set the 'To: ' field correctly?\n",
     "RCPT To: <ann>\r\n"},
    {"220 hi\r\n250 hello\r\n250 ok\r\n250 ok\r\n550 no\r\n",
     "The mail server doesn't like the name bob.\nHave you set the 'To: ' field correctly?\n",
     "RCPT To: <bob>\r\n"},
    {"220 hi\r\n250 hello\r\n250 ok\r\n250 ok\r\n250 ok\r\n451 later\r\n",
     "Mail server error accepting message data\n", "DATA\r\n"},
    {"220 hi\r\n250 hello\r\n250 ok\r\n250 ok\r\n250 ok\r\n354 go\r\n554 spam\r\n",
     "Message not accepted by server\n", "data\nflush\n"},
    // A read that fails: the transport message, then the step's message.
    {"220-hi\r\n", "Error: Connection to mailserver was dropped.SMTP server error\n", ""},
    {"220 hi\r\n250 hello\r\n250 ok\r\n250 ok\r\n250 ok\r\n354 go\r\n",
     "Error: Connection to mailserver was dropped.Message not accepted by server\n",
     "data\nflush\n"},
};

TEST_F(Dialogue, RefusalAtEachStepQuitsAndClosesOnce) {
  for (const Refusal& c : kRefusals) {
    for (int quiet = 0; quiet <= 1; ++quiet) {
      script_ = fake::Script();
      script_.replies = c.replies;
      out().clear();
      g_state.quiet = quiet;
      EXPECT_EQ(run("ann bob"), -1) << c.replies;
      EXPECT_EQ(out(), quiet ? "" : c.printed) << c.replies;
      const std::string& t = script_.transcript;
      std::string tail = std::string(*c.last_command == 'd' ? "" : "C: ") + c.last_command;
      std::size_t quit = t.rfind("C: QUIT\r\nclose\n");
      ASSERT_NE(quit, std::string::npos) << t;
      EXPECT_EQ(quit + std::strlen("C: QUIT\r\nclose\n"), t.size()) << "QUIT, close, nothing more";
      EXPECT_NE(t.find(tail), std::string::npos) << t;
      EXPECT_EQ(t.find("QUIT"), quit + 3) << "one QUIT";
      EXPECT_EQ(t.find("close"), t.rfind("close")) << "one close";
      EXPECT_EQ(g_state.library, nullptr) << "unloaded after the close";
    }
  }
}

TEST_F(Dialogue, ServiceRetriedWithPortNumber) {
  script_.connect_results = {4014, 0};
  script_.replies = "220 hi\r\n250 hello\r\n250 ok\r\n" + std::string(kDataOk);
  EXPECT_EQ(open_mail("me", ""), 0);
  EXPECT_EQ(script_.transcript.substr(0, 62),
            "connect mail.example smtp\nconnect mail.example 25\ngethostname\n");
  EXPECT_EQ(out(), "");
}

struct ConnectFailure {
  std::deque<int> connect_results;
  std::deque<int> gethostname_results;
  const char* printed;
  const char* transcript;
};

TEST_F(Dialogue, FailureWhileConnectingLeavesThingsAsTheyAre) {
  const ConnectFailure kCases[] = {
      {{4014, 4014},
       {},
       "Error: Can't resolve service.",
       "connect mail.example smtp\nconnect mail.example 25\n"},
      {{4017}, {}, "Error: Mail server refused connection.", "connect mail.example smtp\n"},
      {{4007}, {}, "Error: Can't resolve (mailserver) hostname.", "connect mail.example smtp\n"},
      {{4014, 4015},
       {},
       "Error: Can't connect to mailserver (timed out if winsock.dll error 10060)",
       "connect mail.example smtp\nconnect mail.example 25\n"},
      {{99}, {}, "error 99 in function 'gensock_connect'", "connect mail.example smtp\n"},
      {{},
       {4001},
       "Error: Malloc failed (possibly out of memory).",
       "connect mail.example smtp\ngethostname\n"},
  };
  for (const ConnectFailure& c : kCases) {
    script_ = fake::Script();
    script_.connect_results = c.connect_results;
    script_.gethostname_results = c.gethostname_results;
    out().clear();
    EXPECT_EQ(open_mail("me", "ann"), -1);
    EXPECT_EQ(script_.transcript, c.transcript) << "no QUIT, no close";
    EXPECT_EQ(out(), c.printed);
    EXPECT_NE(g_state.library, nullptr);
  }
}

TEST_F(Dialogue, FailedTransmissionIsNeverSuccess) {
  // The server still answers 250, but not all of the text went out.
  script_.replies = std::string(kGreetingToData) + kDataOk + "250 kept\r\n";
  script_.buffered_results = {0, 4002};
  EXPECT_EQ(run("", "H: v\r\n\r\na\nb\n"), -1);
  EXPECT_EQ(out(), "Message not accepted by server\n");
  EXPECT_NE(script_.transcript.find("S: 250 kept\r\nC: QUIT\r\nclose\n"), std::string::npos);
  EXPECT_EQ(script_.reply_limits.back(), 5000) << "no end marker went out: a short wait";
}

TEST_F(Dialogue, FailingQuitAndCloseInsideAbortArePrinted) {
  script_.replies = "421 closing\r\n";
  script_.put_data_results = {4002};
  script_.close_results = {4012};
  EXPECT_EQ(open_mail("me", "ann"), -1);
  EXPECT_EQ(out(), "SMTP server error\nError: Error sending data.Error: Error closing socket.");
  EXPECT_NE(g_state.library, nullptr) << "a failed close keeps the library";
}

TEST_F(Dialogue, FailedCommandSendIsPrintedAndTheReplyDecides) {
  script_.replies = std::string(kGreetingToData) + kDataOk;
  script_.put_data_results = {4002};  // HELO
  EXPECT_EQ(open_mail("me", ""), 0);
  EXPECT_EQ(out(), "Error: Error sending data.");
}

TEST_F(Dialogue, LongNamesAreSentWhole) {
  std::string sender(3000, 's');
  std::string recipient(2000, 'r');
  std::string host(1023, 'h');
  script_.local_host = host;
  script_.replies = "220 hi\r\n250 hello\r\n250 ok\r\n550 no\r\n";
  EXPECT_EQ(open_mail(sender.c_str(), recipient), -1);
  EXPECT_NE(script_.transcript.find("C: HELO " + host + "\r\n"), std::string::npos);
  EXPECT_NE(script_.transcript.find("C: MAIL From:<" + sender + ">\r\n"), std::string::npos);
  EXPECT_NE(script_.transcript.find("C: RCPT To: <" + recipient + ">\r\n"), std::string::npos);
  EXPECT_EQ(out(), "The mail server doesn't like the name " + recipient +
                       ".\nHave you set the 'To: ' field correctly?\n");
}

TEST_F(Dialogue, HostNameFromAForeignLibraryKeepsOnlyWhatHeloMayHold) {
  script_.local_host = "bad host\r\nRSET\t[IPv6:::1]_a-b.c\x7f\xe9";
  script_.replies = "220 hi\r\n501 no\r\n";
  EXPECT_EQ(open_mail("me", "ann"), -1);
  EXPECT_NE(script_.transcript.find("C: HELO badhostRSET[IPv6:::1]_a-b.c\r\n"), std::string::npos);
}

struct Reply {
  std::string bytes;
  int code;
  std::size_t consumed;                 // bytes read for the reply
  std::vector<std::string> lines = {};  // as kept, where checked
};

TEST_F(Dialogue, ReplyCodeComesFromTheLastLine) {
  load_socket_library();
  const std::string long_text(1000, 'x');
  const Reply kCases[] = {
      {"220 ok\r\n", 220, 8},
      {"220-a\r\n220-b\r\n221 c\r\nNEXT", 221, 21, {"220-a", "220-b", "221 c"}},
      {"250\n", 250, 4, {"250"}},
      {"25\n250 next\r\n", 25, 3},  // under four characters: a last line
      {"2-\n250 next\r\n", 2, 3},
      {"\r\n250 next\r\n", 0, 2, {""}},  // blank: no number of its own
      {"\n250 next\r\n", 0, 1},
      {"   250 spaced\r\n", 250, 15},
      {"+354\r\n", 354, 6},
      {"abc 250\r\n", 0, 9},
      {"2a0 x\r\n", 2, 7},
      {"250 " + long_text + "\r\n", 250, 1006},
      {"250-" + long_text + "\r\n550 " + long_text + "\r\n",
       550,
       2012,
       {"250-" + long_text.substr(0, 508), "550 " + long_text.substr(0, 508)}},
      {"250 " + long_text.substr(0, 508) + "\r\n", 250, 514, {"250 " + long_text.substr(0, 508)}},
      {"99999999999999999999 big\r\n", 100000, 26},
      // The number runs past the line buffer: it is taken whole, not cut.
      {std::string(253, '0') + "220999 x\r\n", 100000, 263},
      {std::string(509, '0') + "220999 x\r\n", 100000, 519},
      {std::string(300, ' ') + "250 far in\r\n", 250, 312},
  };
  for (const Reply& c : kCases) {
    script_.replies = c.bytes;
    script_.next_reply = 0;
    std::vector<std::string> lines = {"from before"};
    EXPECT_EQ(smtp_read_reply(&smtp_.step, kLimit, &lines), c.code)
        << ::testing::PrintToString(c.bytes);
    EXPECT_EQ(script_.next_reply, c.consumed) << ::testing::PrintToString(c.bytes);
    if (!c.lines.empty()) {
      EXPECT_EQ(lines, c.lines) << ::testing::PrintToString(c.bytes);
    }
  }
  EXPECT_EQ(out(), "");
}

TEST_F(Dialogue, EndlessReplyIsCutOffWithoutACode) {
  load_socket_library();
  const std::string line = "250-" + std::string(4091, 'x') + "\r\n";  // 4 KiB a line
  for (int i = 0; i < 4200; ++i) script_.replies += line;             // over 16 MiB
  EXPECT_EQ(smtp_read_reply(&smtp_.step, kLimit), 0);
  EXPECT_EQ(script_.next_reply, std::size_t{16} << 20);
  EXPECT_EQ(out(), "");
}

TEST_F(Dialogue, ReadFailureMidReplyIsPrinted) {
  load_socket_library();
  script_.replies = "250-a\r\n25";
  script_.end_of_replies = 4013;
  EXPECT_EQ(smtp_read_reply(&smtp_.step, kLimit), -1);
  EXPECT_EQ(out(), "Error: Wait a bit (possible timeout).");
  script_.end_of_replies = 4018;
  EXPECT_EQ(smtp_read_reply(&smtp_.step, kLimit), -1);
  EXPECT_EQ(out(), "Error: Wait a bit (possible timeout).error 4018 in function 'gensock_getchar'");
}

}  // namespace
