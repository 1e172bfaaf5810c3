// The transmitter, into the scripted socket library, which records the bytes
// handed to it. Input byte 0 picks the buffered call that fails (0: none); the
// rest is the message text. What goes out, with the dot-stuffing undone,
// must be the text with its line ends made CR LF (a run of CRs taken as
// one, CR CR LF in the header region dropped so that the lines join); no
// bare CR or LF goes out; the end marker comes once, last, after a CR LF;
// and a failing call stops everything at once and gives back its code.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "scripted_library.h"
#include "smtp/smtp_dialogue.h"

namespace {

constexpr int kFailureCode = 4002;

void check(bool condition) {
  if (!condition) std::abort();
}

int count_flushes() {
  int flushes = 0;
  for (std::size_t at = g_script.transcript.find("flush\n"); at != std::string::npos;
       at = g_script.transcript.find("flush\n", at + 1)) {
    ++flushes;
  }
  return flushes;
}

// The text as it should arrive: runs of CRs as one CR, CR CR LF before the
// header's blank line dropped, then every CR LF, lone CR and lone LF one
// line end (CR LF).
std::string expected_content(const std::string& text) {
  const std::size_t blank = text.find("\r\n\r\n");
  const std::size_t header_end = blank == std::string::npos ? 0 : blank;
  std::string kept;
  char previous = '\n';
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' && i < header_end && text.compare(i, 3, "\r\r\n") == 0) {
      i += 2;
      previous = '\n';
      continue;
    }
    if (!(c == '\r' && previous == '\r')) kept += c;
    previous = c;
  }
  std::string content;
  for (std::size_t i = 0; i < kept.size(); ++i) {
    if (kept[i] == '\r') {
      content += "\r\n";
      if (i + 1 < kept.size() && kept[i + 1] == '\n') ++i;
    } else if (kept[i] == '\n') {
      content += "\r\n";
    } else {
      content += kept[i];
    }
  }
  return content;
}

// Checks the wire's shape and gives back its content, dot-stuffing undone.
std::string unstuffed_content(const std::string& wire) {
  static const std::string kEnd = "\r\n.\r\n";
  check(wire.size() >= kEnd.size() &&
        wire.compare(wire.size() - kEnd.size(), kEnd.size(), kEnd) == 0);
  for (std::size_t i = 0; i < wire.size(); ++i) {
    if (wire[i] == '\r') check(i + 1 < wire.size() && wire[i + 1] == '\n');
    if (wire[i] == '\n') check(i > 0 && wire[i - 1] == '\r');
  }
  // Everything but the final "." CR LF; a line that is just "." before it
  // would end the data early.
  const std::string body = wire.substr(0, wire.size() - 3);
  check(body.find("\r\n.\r\n") == std::string::npos && body.compare(0, 3, ".\r\n") != 0);
  std::string content;
  bool line_start = true;
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (line_start && body[i] == '.') {
      check(i + 1 < body.size() && body[i + 1] == '.');
      ++i;
    }
    content += body[i];
    line_start = body[i] == '\n';
  }
  return content;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return -1;  // the header block always comes first
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::unique_ptr<char[]> copy(new char[text.size() + 1]);
  std::memcpy(copy.get(), text.c_str(), text.size() + 1);

  g_script = fake::Script();
  const int fail_at = data[0] < 16 ? data[0] : 0;  // the buffered call (from 1) that fails
  if (fail_at != 0) {
    g_script.buffered_results.assign(static_cast<std::size_t>(fail_at - 1), 0);
    g_script.buffered_results.push_back(kFailureCode);
  }
  const int result = send_message_text(g_script.handle, copy.get(), text.size());
  check(g_script.bad_calls == 0);

  if (fail_at != 0 && g_script.buffered_calls >= fail_at) {
    check(result == kFailureCode);
    check(g_script.buffered_calls == fail_at && count_flushes() == 0);
    return 0;
  }
  check(result == 0 && count_flushes() == 1);
  std::string content = expected_content(text);
  // The text's own last line end serves the end marker; otherwise one is added.
  if (content.size() < 2 || content.compare(content.size() - 2, 2, "\r\n") != 0) content += "\r\n";
  check(unstuffed_content(g_script.data) == content);
  return 0;
}
