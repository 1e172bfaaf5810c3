#include "smtp/smtp_wire.h"

#include <string>
#include <string_view>
#include <vector>

#include "quib/console.h"
#include "quib/mailer_state.h"
#include "smtp/esmtp.h"
#include "smtp/sasl.h"
#include "smtp/socket_library.h"
#include "smtp/transcript.h"
#include "smtp/transport_error.h"

namespace {

// A reply line holds at most 512 bytes, its CR LF included (RFC 5321
// 4.5.3.1.5); only so much of a longer line is kept, the rest is read and
// dropped. The code and the continuation mark are taken from the whole line.
constexpr std::size_t kReplyLineBytes = 512;
// Codes whose number would not fit are clamped: any such code is a refusal.
constexpr int kLargestReplyCode = 99999;

// A reply longer than this in all is no usable reply: a server that keeps
// sending continuation lines (or one endless line) would otherwise hold the
// run for ever, each byte arriving within the read timeout. Real replies are
// a few hundred bytes; a line may hold at most 512.
constexpr std::size_t kReplyLimitBytes = 16u << 20;
// Of a reply's lines a caller keeps only what the login uses: its first lines, up to what a
// refusal shows, and the AUTH, DSN, 8BITMIME and SMTPUTF8 lines of an EHLO reply, all within a
// few KiB, so that a reply of millions of short lines costs no more memory than a real one.
constexpr std::size_t kKeptLeadingBytes = 2048;
constexpr std::size_t kKeptReplyBytes = 4096;
const char kQuit[] = "QUIT\r\n";

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The number at the start of one reply line, taken a character at a time so
// that it comes from the whole line, not from what fits the line buffer:
// white space skipped, an optional sign, decimal digits; 0 without digits.
struct ReplyNumber {
  enum Phase { kSpace, kDigits, kDone } phase = kSpace;
  bool negative = false;
  int value = 0;

  void take(char c) {
    if (phase == kSpace) {
      if (is_space(c)) return;
      phase = kDigits;
      if (c == '+' || c == '-') {
        negative = c == '-';
        return;
      }
    }
    if (phase != kDigits) return;
    if (c < '0' || c > '9') {
      phase = kDone;
      return;
    }
    value = value > kLargestReplyCode ? kLargestReplyCode + 1 : value * 10 + (c - '0');
  }
  int code() const {
    int clamped = value > kLargestReplyCode ? kLargestReplyCode + 1 : value;
    return negative ? -clamped : clamped;
  }
};

// Reads one line up to its LF into *line (its first kReplyLineBytes + 2
// bytes, so that a CR LF just past the cap is still seen) and takes its
// number; the first byte is asked for with *wait, the rest with 0. Returns
// the count of characters read (LF included), -1 after a printed transport
// failure, or 0 when the reply has run past *budget bytes.
long read_reply_line(DialogueStep* at, const HiddenTexts* hidden, std::string* line,
                     ReplyNumber* number, std::size_t* budget, int* wait) {
  line->clear();
  std::size_t length = 0;
  char ch = 0;
  do {
    if (*budget == 0) return 0;
    int code = g_gensock.getchar(g_state.connection, *wait, &ch);
    *wait = 0;
    if (code != 0) return smtp_transport_failed(at, "gensock_getchar", code);
    --*budget;
    if (length < kReplyLineBytes + 2) line->push_back(ch);
    number->take(ch);
    ++length;
  } while (ch != '\n');
  const std::size_t stored = line->size();
  if (hidden != nullptr) *line = hidden->applied_to(*line);
  at->reason = transcript_received(line->data(), line->size(), length - stored + line->size());
  return static_cast<long>(length);
}

// The line as kept for the caller: without its LF and a CR before it, and
// no longer than kReplyLineBytes.
std::string kept_text(std::string line) {
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.size() > kReplyLineBytes) line.resize(kReplyLineBytes);
  return line;
}

int send_shown(DialogueStep* at, std::string_view data, std::string_view shown) {
  transcript_sent(shown);
  const int code = g_gensock.put_data(g_state.connection, data.data(), data.size());
  return code == 0 ? 0 : smtp_transport_failed(at, "gensock_put_data", code);
}

}  // namespace

void smtp_note_step(DialogueStep* at, std::string_view step) {
  *at = DialogueStep();
  at->step = step;
  at->shown = transcript_shown(step);
}

void smtp_name_step(DialogueStep* at, std::string_view shown) {
  at->shown = transcript_shown(shown);
  at->reason.clear();
}

int smtp_transport_failed(DialogueStep* at, const char* call, int code) {
  at->transport_code = code;
  at->reason = report_transport_error(call, code);
  return -1;
}

int smtp_read_reply(DialogueStep* at, int limit_ms, std::vector<std::string>* lines,
                    const HiddenTexts* hidden) {
  std::vector<std::string> own;
  if (lines == nullptr) lines = &own;
  lines->clear();
  std::string line;
  std::size_t budget = kReplyLimitBytes;
  int wait = socket_library_can(GENSOCK_CAN_TIME_REPLIES) ? limit_ms : 0;
  std::size_t kept = 0;
  for (;;) {
    ReplyNumber number;
    long length = read_reply_line(at, hidden, &line, &number, &budget, &wait);
    if (length < 0) return -1;
    if (length == 0) return 0;  // endless: no code of its own
    std::string text = kept_text(line);
    // A line of fewer than four characters, its LF included, is a last line.
    const bool more = length >= 4 && line[3] == '-';
    const bool wanted = is_auth_line(text) || extension_named(text) != 0;
    if ((kept < kKeptLeadingBytes || wanted) && kept + text.size() <= kKeptReplyBytes) {
      kept += text.size();
      lines->push_back(more ? std::move(text) : text);
    }
    if (more) continue;
    const int code = number.code();
    if (code > 0) at->reply_code = code;
    if (code > 0) at->reply = std::move(text);
    return code;
  }
}

int smtp_send(DialogueStep* at, std::string_view command) {
  smtp_note_step(at, command.substr(0, command.find_last_not_of("\r\n") + 1));
  return send_shown(at, command, command);
}

int smtp_send_hidden(DialogueStep* at, const std::string& step, const Secret& command) {
  const std::string kept = at->shown;
  smtp_note_step(at, step.empty() ? kCredentialsHidden : step);
  if (step.empty()) at->shown = kept;
  return send_shown(at, command.view(), at->step);
}

void smtp_abort(DialogueStep* at, const std::string& message, std::string_view reason) {
  at->failed = true;
  if (!reason.empty()) at->reason = transcript_shown(reason);
  say(message + "\n");
  smtp_quit();  // no reply is waited for
  smtp_disconnect();
}

int smtp_ended(int status, const DialogueStep& at) {
  if (status != 0 && at.failed) {
    transcript_event("failed at " + at.shown + ": " + (at.reason.empty() ? "no reply" : at.reason));
  }
  return status;
}

int smtp_quit() {
  DialogueStep ignored;
  return send_shown(&ignored, kQuit, kQuit);
}

int smtp_disconnect() {
  int code = g_gensock.close(g_state.connection);
  if (code != 0) {
    report_transport_error("gensock_close", code);
    return -1;
  }
  unload_socket_library();
  return 0;
}
