// The composer where the end-to-end tables cannot reach it: a header larger
// than the room before the body, and a part whose file fails while the
// text streams.
#include "message/composer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// A file held in memory, or one whose first read fails.
class TextReader : public BlockReader {
 public:
  explicit TextReader(std::string bytes, bool fails = false) : bytes_(bytes), fails_(fails) {}
  std::uint64_t reported_size() const override { return bytes_.size(); }
  int start(std::uint64_t* size) override {
    *size = bytes_.size();
    return 0;
  }
  std::int64_t read(char* block, std::size_t count) override {
    if (fails_) return -1;
    std::memcpy(block, bytes_.data() + at_, count);
    at_ += count;
    return static_cast<std::int64_t>(count);
  }

 private:
  std::string bytes_;
  bool fails_;
  std::size_t at_ = 0;
};

const char kHead[] = "Date: Mon, 05 Feb 1996 09:03:07 +0100\r\nFrom: me\r\nSubject: ";

TEST(Composer, LongHeaderGoesBeforeABodyEncodedFromMemory) {
  MailerState state;
  state.from_address = "me";
  const std::string subject(70000, 's');
  state.subject = subject.c_str();
  MessageOptions options;
  options.charset = "utf-8";
  TextReader body(std::string("caf\xe9\0tail", 9));
  MessageText text;
  ASSERT_EQ(compose_message(MessageSpec{&state, &options, "body.txt", &body, {}}, &text), 0);
  // The subject, too long for one line and without a blank, goes as
  // encoded words: what matters here is the header in front of the body.
  const std::string message(text.data(), text.length);
  EXPECT_GT(message.size(), subject.size());
  EXPECT_EQ(message.rfind(kHead, 0), 0u);
  const std::string tail =
      "\r\nContent-Type: text/plain; charset=utf-8\r\n"
      "Content-Transfer-Encoding: quoted-printable\r\n"
      "X-Mailer: <WinNT's Quib ver 1.5>\r\n\r\ncaf=E9";
  ASSERT_GE(message.size(), tail.size());
  EXPECT_EQ(message.substr(message.size() - tail.size()), tail);
  EXPECT_EQ(text.data()[text.length], '\0');
}

TEST(Composer, FailingPartStopsTheTextAndIsNamedByItsNumber) {
  MailerState state;
  MessageOptions options;
  TextReader body("body"), first("a"), second("b", true);
  MessageSpec recipe{&state, &options, "body.txt", &body, {{"a.txt", &first}, {"b.txt", &second}}};
  MessageText text;
  ASSERT_EQ(compose_message(recipe, &text), 0);
  MessageStream stream(text);
  const char* bytes = nullptr;
  std::size_t length = 0;
  std::string sent;
  int got = 0;
  while ((got = stream.next(&bytes, &length)) > 0) sent.append(bytes, length);
  EXPECT_EQ(got, -1);
  EXPECT_EQ(stream.failed(), 3);
  // The first attachment went out whole; nothing of the second's part.
  EXPECT_EQ(sent.substr(sent.size() - 8), "\r\n\r\nYQ==") << sent;
}

}  // namespace
