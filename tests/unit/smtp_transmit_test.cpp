// The message text on the wire: line ends, dot-stuffing and the end marker,
// byte for byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fakes/fake_gensock.h"
#include "quib/mailer_state.h"
#include "quib/text_source.h"
#include "smtp/smtp_dialogue.h"
#include "smtp/socket_library.h"

namespace {

using namespace std::string_literals;

class Transmit : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_run_state();
    fake::install(&script_);
    load_socket_library();
  }
  void TearDown() override {
    unload_socket_library();
    fake::install(nullptr);
  }

  int send(const std::string& text) {
    return send_message_text(script_.handle, text.c_str(), text.size());
  }

  fake::Script script_;
};

struct Case {
  std::string text;
  std::string wire;     // end marker included
  std::uint64_t lines;  // the text's lines as sent, the marker not counted
  std::uint64_t doubled_dots;
  std::uint64_t longest_line;  // bytes before CR LF, the marker not counted
};

const Case kCases[] = {
    // Dot-stuffing: a "." that begins a line is doubled.
    {"Date: x\r\n\r\n.hidden\r\n", "Date: x\r\n\r\n..hidden\r\n.\r\n", 3, 1, 8},
    {".a\r\n", "..a\r\n.\r\n", 1, 1, 3},
    {".", "..\r\n.\r\n", 1, 1, 2},
    {".\r\n", "..\r\n.\r\n", 1, 1, 2},
    {"H: v\r\n\r\n.\r\n..\r\n", "H: v\r\n\r\n..\r\n...\r\n.\r\n", 4, 2, 4},
    {"a.b\r\n.", "a.b\r\n..\r\n.\r\n", 2, 1, 3},
    // CR CR LF inside the header region vanishes and joins the lines.
    {"X: a\r\r\n b\r\n\r\nbody\r\n", "X: a b\r\n\r\nbody\r\n.\r\n", 3, 0, 6},
    {"X: a\r\r\n\r\nbody", "X: a\r\nbody\r\n.\r\n", 2, 0, 4},
    {"X: a\r\r\n.b\r\n\r\nbody", "X: a.b\r\n\r\nbody\r\n.\r\n", 3, 0, 6},
    // ... and outside it goes out as CR LF; a run of CRs counts as one.
    {"X: a\r\n\r\nl1\r\r\nl2", "X: a\r\n\r\nl1\r\nl2\r\n.\r\n", 4, 0, 4},
    {"X: a\r\n\r\nbody\r\r\n", "X: a\r\n\r\nbody\r\n.\r\n", 3, 0, 4},
    {"a\r\r\r\nb\r\n", "a\r\nb\r\n.\r\n", 2, 0, 1},
    {"\r\r\r\n", "\r\n.\r\n", 1, 0, 0},
    // An LF that follows no CR and a CR that no LF follows become CR LF.
    {"X: a\r\n\r\nbody\n", "X: a\r\n\r\nbody\r\n.\r\n", 3, 0, 4},
    {"a\nb\n", "a\r\nb\r\n.\r\n", 2, 0, 1},
    {"\n", "\r\n.\r\n", 1, 0, 0},
    {"a\rb", "a\r\nb\r\n.\r\n", 2, 0, 1},
    {"a\r", "a\r\n.\r\n", 1, 0, 1},
    {"a\r\r", "a\r\n.\r\n", 1, 0, 1},
    {"a\n\rb", "a\r\n\r\nb\r\n.\r\n", 3, 0, 1},
    {"a\r\n\nb", "a\r\n\r\nb\r\n.\r\n", 3, 0, 1},
    {"a\n.b\n", "a\r\n..b\r\n.\r\n", 2, 1, 3},
    {"a\r.b", "a\r\n..b\r\n.\r\n", 2, 1, 3},
    {"H: v\n\n.\n", "H: v\r\n\r\n..\r\n.\r\n", 3, 1, 4},
    // No line end at the end of the text: the marker supplies one.
    {"body", "body\r\n.\r\n", 1, 0, 4},
    {"a\0b\r\n"s, "a\0b\r\n.\r\n"s, 1, 0, 3},
};

// The same bytes through our library (runs of any length) and through one
// that announces nothing (1, 3 or 5 bytes a call; the fake counts others).
TEST_F(Transmit, TextGoesOutAsOnTheWire) {
  for (int capabilities : {script_.capabilities, fake::kForeign}) {
    script_.capabilities = capabilities;
    for (const Case& c : kCases) {
      script_.data.clear();
      script_.transcript.clear();
      TransmitCounts counts;
      EXPECT_EQ(send_message_text(script_.handle, c.text.data(), c.text.size(), &counts), 0);
      EXPECT_EQ(script_.data, c.wire) << "text: " << ::testing::PrintToString(c.text);
      EXPECT_EQ(counts.bytes, c.wire.size()) << ::testing::PrintToString(c.text);
      EXPECT_EQ(counts.lines, c.lines) << ::testing::PrintToString(c.text);
      EXPECT_EQ(counts.doubled_dots, c.doubled_dots) << ::testing::PrintToString(c.text);
      EXPECT_EQ(counts.longest_line, c.longest_line) << ::testing::PrintToString(c.text);
      EXPECT_EQ(script_.transcript, "data\nflush\n") << ::testing::PrintToString(c.text);
    }
    EXPECT_EQ(script_.bad_calls, 0) << "capabilities " << capabilities;
  }
}

// The text in blocks of its source, each copied into a buffer that the next
// block overwrites (as a streamed file's blocks are); a failure after them
// when fails.
class Blocks : public TextSource {
 public:
  Blocks(std::vector<std::string> blocks, bool fails) : blocks_(blocks), fails_(fails) {}
  int next(const char** bytes, std::size_t* length) override {
    if (at_ == blocks_.size()) return fails_ ? -1 : 0;
    buffer_ = blocks_[at_++];
    *bytes = buffer_.data();
    *length = buffer_.size();
    return 1;
  }

 private:
  std::vector<std::string> blocks_;
  bool fails_;
  std::size_t at_ = 0;
  std::string buffer_;
};

// Every case cut in two wherever its source may cut it (after the header
// region, never after a CR) goes out as it does whole, its longest line
// counted across the cut.
TEST_F(Transmit, BlocksGoOutAsTheWholeText) {
  for (const Case& c : kCases) {
    const std::size_t header = c.text.find("\r\n\r\n");
    for (std::size_t cut = header == std::string::npos ? 1 : header + 4; cut < c.text.size();
         ++cut) {
      if (c.text[cut - 1] == '\r') continue;
      script_.data.clear();
      Blocks blocks({c.text.substr(0, cut), c.text.substr(cut)}, false);
      TransmitCounts counts;
      EXPECT_EQ(send_message_from(script_.handle, &blocks, &counts), 0);
      EXPECT_EQ(script_.data, c.wire) << ::testing::PrintToString(c.text) << " cut at " << cut;
      EXPECT_EQ(counts.longest_line, c.longest_line) << ::testing::PrintToString(c.text) << cut;
    }
  }
}

TEST_F(Transmit, FailingSourceStopsBeforeTheEndMarker) {
  Blocks blocks({"H: v\r\n\r\n", "a\r\n.b"}, true);
  TransmitCounts counts;
  EXPECT_EQ(send_message_from(script_.handle, &blocks, &counts), kSourceFailed);
  EXPECT_EQ(script_.data, "H: v\r\n\r\na\r\n..b");
  EXPECT_EQ(counts.bytes, script_.data.size());
  EXPECT_EQ(script_.transcript, "data\n") << "no flush";
}

TEST_F(Transmit, UnchangedLinesGoOutInOneCall) {
  std::string text;
  for (int i = 0; i < 1000; ++i) text += "a line of text\r\n";
  EXPECT_EQ(send(text), 0);
  EXPECT_EQ(script_.data, text + ".\r\n");
  EXPECT_EQ(script_.buffered_calls, 2) << "the text in one run, then the marker";
}

TEST_F(Transmit, FirstFailingCallEndsTheTransmission) {
  script_.buffered_results = {0, 4002};
  EXPECT_EQ(send("a\nb\nc\n"), 4002);
  EXPECT_EQ(script_.data, "a");
  EXPECT_EQ(script_.transcript, "data\n") << "no flush after a failure";
}

TEST_F(Transmit, FailingFlushIsReturned) {
  script_.flush_results = {4016};
  EXPECT_EQ(send("a\r\n"), 4016);
  EXPECT_EQ(script_.data, "a\r\n.\r\n");
}

}  // namespace
