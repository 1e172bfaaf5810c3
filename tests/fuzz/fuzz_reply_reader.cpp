// The reply reader, fed by a fake socket library that serves the fuzz bytes
// one at a time and then reports the dropped connection (4016). Every reply
// must end in a code read from its own last line, right after an LF, or in
// -1 once the bytes are used up.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "quib/mailer_state.h"
#include "scripted_library.h"
#include "smtp/smtp_dialogue.h"

namespace {

constexpr int kLimit = 1000;  // any limit: the fake never waits

const std::uint8_t* g_bytes = nullptr;

void check(bool condition) {
  if (!condition) std::abort();
}

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The code of one line (LF included): leading white space, an optional
// sign, then decimal digits; 0 when no digit follows. *exact is false when
// the number has more than five digits, which the reader may clamp.
long long model_code(const std::string& line, bool* exact) {
  std::size_t at = 0;
  while (at < line.size() && is_space(line[at])) ++at;
  bool negative = false;
  if (at < line.size() && (line[at] == '-' || line[at] == '+')) negative = line[at++] == '-';
  long long value = 0;
  *exact = true;
  for (; at < line.size() && line[at] >= '0' && line[at] <= '9'; ++at) {
    value = value * 10 + (line[at] - '0');
    if (value > 99999) *exact = false;
    if (value > 100000000000LL) value = 100000000000LL;
  }
  return negative ? -value : value;
}

// Checks the reply that ran from byte `begin` up to g_script.next_reply.
void check_reply(std::size_t begin, int code) {
  check(g_script.next_reply > begin && g_bytes[g_script.next_reply - 1] == '\n');
  std::size_t line_begin = begin;
  for (std::size_t at = begin; at < g_script.next_reply; ++at) {
    if (g_bytes[at] != '\n') continue;
    const std::string line(reinterpret_cast<const char*>(g_bytes) + line_begin,
                           at + 1 - line_begin);
    const bool last = at + 1 == g_script.next_reply;
    // A line of four characters or more continues exactly when its fourth
    // is "-"; what a shorter line does is left open.
    if (line.size() >= 4) check((line[3] == '-') != last);
    // The number comes from the whole line, however long.
    if (last) {
      bool exact = false;
      const long long expected = model_code(line, &exact);
      // A number too large is never taken for a three-digit code.
      check(exact ? code == expected : (code >= 1000 || code <= -1000));
    }
    line_begin = at + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  g_bytes = data;
  g_script = fake::Script();
  g_script.replies.assign(reinterpret_cast<const char*>(data), size);
  g_state.quiet = 1;
  g_state.connection = g_script.handle;
  DialogueStep step;
  for (;;) {
    const std::size_t begin = g_script.next_reply;
    const int code = smtp_read_reply(&step, kLimit);
    if (code == -1 && g_script.next_reply == size) break;
    check_reply(begin, code);
  }
  check(g_script.bad_calls == 0);
  g_state = MailerState();
  return 0;
}
