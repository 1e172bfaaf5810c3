// The transmitter: the one place that knows about line ends, dot-stuffing
// and the end marker. It goes through the text line by line: a "." that
// begins a line is doubled, the line goes out as it stands, then CR LF.
// Bytes that follow each other in a block go out in one call, the text's
// own CR LF included, so an unchanged block goes out as one run. The text
// comes a block at a time; the line's state carries from one to the next.
#include <cstring>
#include <string_view>

#include "quib/text_source.h"
#include "smtp/smtp_dialogue.h"
#include "smtp/socket_library.h"

namespace {

// What goes out on the wire, taken from the text without copying it: bytes
// that go out as they stand gather into one run of the text; anything else
// is sent from a literal after the run.
class Wire {
 public:
  explicit Wire(gensock_handle_t handle)
      : handle_(handle), runs_(socket_library_can(GENSOCK_CAN_TAKE_RUNS)) {}

  // The block that positions refer to from now on.
  void begin_block(const char* text) { text_ = text; }
  // The run taken from the block goes before the source may reuse it.
  void end_block() { send_run(); }

  int status() const { return status_; }
  const TransmitCounts& counts() const { return counts_; }

  // Text bytes [pos, pos + count) go out as they stand: they join the run
  // when they follow it in the text, else the run goes and a new one starts.
  void take(std::size_t pos, std::size_t count) {
    if (run_length_ > 0 && run_begin_ + run_length_ == pos) {
      run_length_ += count;
      return;
    }
    send_run();
    run_begin_ = pos;
    run_length_ = count;
  }

  void double_dot() {
    literal(".", 1);
    ++counts_.doubled_dots;
  }

  // The text's own CR LF at pos.
  void crlf_at(std::size_t pos) {
    take(pos, 2);
    ++counts_.lines;
  }

  // A bare CR or a bare LF, mended.
  void crlf() {
    literal("\r\n", 2);
    ++counts_.lines;
  }

  // Ends the data with the end marker, after a CR LF that the text's last
  // line lacks, and flushes.
  void finish(bool after_line_end) {
    send_run();
    if (after_line_end) {
      put_whole(".\r\n", 3);
    } else {
      put_whole("\r\n.\r\n", 5);
      ++counts_.lines;
    }
    if (status_ == 0) status_ = g_gensock.put_data_flush(handle_);
  }

 private:
  void literal(const char* bytes, unsigned long length) {
    send_run();
    put(bytes, length);
  }

  void send_run() {
    if (run_length_ > 0) put(text_ + run_begin_, run_length_);
    run_length_ = 0;
  }

  // A library that does not take runs is handed one byte per call, as its
  // original contract has it; the bytes on the wire are the same.
  void put(const char* bytes, unsigned long length) {
    if (runs_) {
      put_whole(bytes, length);
      return;
    }
    for (unsigned long i = 0; i < length; ++i) put_whole(bytes + i, 1);
  }

  void put_whole(const char* bytes, unsigned long length) {
    if (status_ != 0) return;
    status_ = g_gensock.put_data_buffered(handle_, bytes, length);
    if (status_ == 0) counts_.bytes += length;
  }

  gensock_handle_t handle_;
  const char* text_ = nullptr;
  bool runs_;  // the library takes runs of any length in one call
  int status_ = 0;
  std::size_t run_begin_ = 0;
  unsigned long run_length_ = 0;
  TransmitCounts counts_;
};

// The text and its header region: the positions before the first CR LF CR
// LF (the blank line that ends the header block); none without such a line.
struct Text {
  const char* bytes;
  std::size_t length;
  std::size_t header_end;

  // Inside the header region CR CR LF is no line end: it vanishes, and the
  // lines on either side join.
  bool joins_lines(std::size_t pos) const {
    return pos < header_end && pos + 2 < length && bytes[pos + 1] == '\r' && bytes[pos + 2] == '\n';
  }
};

Text text_of(const char* bytes, std::size_t length) {
  std::size_t end = std::string_view(bytes, length).find("\r\n\r\n");
  return {bytes, length, end == std::string_view::npos ? 0 : end};
}

// The position of the first c in [from, to), or to.
std::size_t find(const Text& text, char c, std::size_t from, std::size_t to) {
  const void* at = std::memchr(text.bytes + from, c, to - from);
  return at ? static_cast<std::size_t>(static_cast<const char*>(at) - text.bytes) : to;
}

// Where the line from pos ends: its first CR or LF, or the end of the text.
// *lf is the next LF at or after pos (length when none), looked for again
// only once passed, so that a text of bare CRs is not searched for ever.
std::size_t line_end_of(const Text& text, std::size_t pos, std::size_t* lf) {
  if (*lf < pos) *lf = find(text, '\n', pos, text.length);
  return find(text, '\r', pos, *lf);
}

// A bare CR at pos: the CRs right after it count as one line end with it
// (a CR CR LF among them that joins header lines vanishes), and so does an
// LF after them. Returns where the next line begins.
std::size_t past_bare_cr(const Text& text, std::size_t pos) {
  std::size_t next = pos + 1;
  while (next < text.length && text.bytes[next] == '\r') {
    if (text.joins_lines(next)) {
      next += 3;
    } else if (text.bytes[next - 1] == '\r') {
      ++next;
    } else {
      break;
    }
  }
  return next < text.length && text.bytes[next] == '\n' ? next + 1 : next;
}

// Where the text stands between two blocks.
struct LineState {
  bool line_start = true;
  bool after_line_end = false;
  std::uint64_t line = 0;     // bytes of the line being sent, dots doubled included
  std::uint64_t longest = 0;  // of the lines ended so far
};

// Sends one block of the text; a line that the block leaves open goes on
// in the next.
void send_block(const Text& text, LineState* state, Wire* wire) {
  const char* bytes = text.bytes;
  std::size_t lf = find(text, '\n', 0, text.length);
  for (std::size_t pos = 0; pos < text.length && wire->status() == 0;) {
    const std::size_t end = line_end_of(text, pos, &lf);
    if (end > pos) {
      if (state->line_start && bytes[pos] == '.') {
        wire->double_dot();
        ++state->line;
      }
      wire->take(pos, end - pos);
      state->line += end - pos;
      state->line_start = false;
      state->after_line_end = false;
    }
    if (end == text.length) break;
    if (bytes[end] == '\r' && text.joins_lines(end)) {
      pos = end + 3;
      continue;
    }
    if (bytes[end] == '\r' && end + 1 < text.length && bytes[end + 1] == '\n') {
      wire->crlf_at(end);
      pos = end + 2;
    } else {
      wire->crlf();  // a bare LF, or a bare CR
      pos = bytes[end] == '\n' ? end + 1 : past_bare_cr(text, end);
    }
    state->line_start = true;
    state->after_line_end = true;
    state->longest = state->line > state->longest ? state->line : state->longest;
    state->line = 0;
  }
}

}  // namespace

int send_message_from(gensock_handle_t handle, TextSource* source, TransmitCounts* counts) {
  Wire wire(handle);
  LineState state;
  bool first = true;
  int got = 0;
  const char* bytes = nullptr;
  std::size_t length = 0;
  while (wire.status() == 0 && (got = source->next(&bytes, &length)) > 0) {
    wire.begin_block(bytes);
    // The header region lies in the first block.
    const Text text = first ? text_of(bytes, length) : Text{bytes, length, 0};
    first = false;
    send_block(text, &state, &wire);
    wire.end_block();
  }
  int status = wire.status();
  if (status == 0 && got < 0) {
    status = kSourceFailed;  // what was taken went; the end marker does not
  } else if (status == 0) {
    wire.finish(state.after_line_end);
    status = wire.status();
  }
  if (counts != nullptr) {
    *counts = wire.counts();
    counts->longest_line = state.line > state.longest ? state.line : state.longest;
  }
  return status;
}

int send_message_text(gensock_handle_t handle, const char* bytes, std::size_t length,
                      TransmitCounts* counts) {
  WholeText text(bytes, length);
  return send_message_from(handle, &text, counts);
}
