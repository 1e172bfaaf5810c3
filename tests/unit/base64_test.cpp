// The base64 of attachments as the driver feeds it, block by block: however
// the input is cut into calls, the text is that of one call.
#include "message/base64.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The base64 of the bytes 0, 1, 2, ...: a full first line of 57 bytes, then
// the rest of `length` bytes after CR LF.
const std::string kFirstLine =
    "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4";

struct Row {
  std::size_t length;
  std::vector<std::size_t> cuts;  // where a call ends and the next begins
  std::size_t every;              // and a cut after every this many bytes (0: none)
  std::string expected;
};

const Row kRows[] = {
    {62, {}, 0, kFirstLine + "\r\nOTo7PD0="},
    {62, {1}, 0, kFirstLine + "\r\nOTo7PD0="},   // one byte held over
    {62, {2}, 0, kFirstLine + "\r\nOTo7PD0="},   // two bytes held over
    {62, {56}, 0, kFirstLine + "\r\nOTo7PD0="},  // two held, the line fills in the next call
    {62, {57}, 0, kFirstLine + "\r\nOTo7PD0="},  // the line break falls between calls
    {62, {0, 30, 30}, 0, kFirstLine + "\r\nOTo7PD0="},
    {62, {}, 1, kFirstLine + "\r\nOTo7PD0="},
    {62, {}, 4, kFirstLine + "\r\nOTo7PD0="},
    {61, {60}, 0, kFirstLine + "\r\nOTo7PA=="},
    {60, {}, 0, kFirstLine + "\r\nOTo7"},
    {59, {58}, 0, kFirstLine + "\r\nOTo="},  // a byte held across the line break
    {58, {57}, 0, kFirstLine + "\r\nOQ=="},  // the break comes with the last group
    {57, {}, 0, kFirstLine},
    {0, {}, 0, ""},
};

TEST(Base64Stream, AnyCutGivesTheTextOfOneCall) {
  std::string input;
  for (char c = 0; c < 62; ++c) input += c;
  for (const Row& row : kRows) {
    std::vector<std::size_t> cuts = row.cuts;
    for (std::size_t at = row.every; row.every > 0 && at < row.length; at += row.every) {
      cuts.push_back(at);
    }
    cuts.push_back(row.length);
    Base64Stream stream;
    std::string out(256, '\0');
    std::size_t used = 0;
    std::size_t from = 0;
    for (std::size_t to : cuts) {
      used += base64_encode_more(&stream, input.data() + from, to - from, &out[used]);
      from = to;
    }
    used += base64_encode_end(&stream, &out[used]);
    const std::string cut_text = ::testing::PrintToString(cuts);
    EXPECT_EQ(out.substr(0, used), row.expected) << cut_text;
    EXPECT_EQ(base64_encoded_length(row.length), row.expected.size()) << cut_text;
  }
}

}  // namespace
