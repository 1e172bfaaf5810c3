// The transmitter: the one place that knows about line ends, dot-stuffing
// and the end marker. It walks the text once and hands runs of bytes that go
// out unchanged to the socket library in one call each.
#include <cstring>
#include <string_view>

#include "smtp/smtp_dialogue.h"
#include "smtp/socket_library.h"

namespace {

// What goes out on the wire, built from the text without copying it.
// Bytes that go out as they stand are gathered as a run [run_begin,
// run_end) of the text; anything else is sent from a literal after the run.
class Wire {
 public:
  Wire(gensock_handle_t handle, const char* text)
      : handle_(handle), text_(text), runs_(socket_library_can(GENSOCK_CAN_TAKE_RUNS)) {}

  int status() const { return status_; }

  // True when the next byte that is neither CR nor LF would simply join the
  // current run: mid-line, no CR waiting for its follower.
  bool mid_line() const { return !cr_pending_ && !at_line_start_; }

  // Text bytes [pos, pos + count) hold no CR and no LF, and mid_line() holds:
  // they go out as they stand.
  void take_span(std::size_t pos, std::size_t count) {
    take(pos, count);
    ends_with_crlf_ = false;
  }

  // Text byte `pos` has passed the CR rules: put it on the wire with every
  // line ending CR LF and a "." that begins a line doubled.
  void feed(std::size_t pos) {
    char c = text_[pos];
    if (cr_pending_) {
      cr_pending_ = false;
      take(cr_pos_);
      if (c == '\n') {
        take(pos);
        line_ended();
        return;
      }
      literal("\n", 1);  // a CR that no LF follows
      line_ended();
    }
    if (c == '\r') {
      cr_pending_ = true;  // decided by the byte that follows
      cr_pos_ = pos;
      return;
    }
    if (c == '\n') {
      literal("\r", 1);  // an LF that follows no CR
      take(pos);
      line_ended();
      return;
    }
    if (c == '.' && at_line_start_) literal(".", 1);
    take(pos);
    at_line_start_ = false;
    ends_with_crlf_ = false;
  }

  // Ends the data with CR LF "." CR LF and flushes.
  void finish() {
    if (cr_pending_) {
      cr_pending_ = false;
      take(cr_pos_);
      literal("\n", 1);
      line_ended();
    }
    send_run();
    if (ends_with_crlf_) {
      put_whole(".\r\n", 3);
    } else {
      put_whole("\r\n.\r\n", 5);
    }
    if (status_ == 0) status_ = g_gensock.put_data_flush(handle_);
  }

 private:
  // Text bytes [pos, pos + count) go out as they stand: they join the run
  // when they follow it in the text, else the run goes and a new one starts.
  void take(std::size_t pos, std::size_t count = 1) {
    if (run_length_ > 0 && run_begin_ + run_length_ == pos) {
      run_length_ += count;
      return;
    }
    send_run();
    run_begin_ = pos;
    run_length_ = count;
  }

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
    if (status_ == 0) status_ = g_gensock.put_data_buffered(handle_, bytes, length);
  }

  void line_ended() {
    at_line_start_ = true;
    ends_with_crlf_ = true;
  }

  gensock_handle_t handle_;
  const char* text_;
  bool runs_;  // the library takes runs of any length in one call
  int status_ = 0;
  std::size_t run_begin_ = 0;
  unsigned long run_length_ = 0;
  bool cr_pending_ = false;
  std::size_t cr_pos_ = 0;
  bool at_line_start_ = true;
  bool ends_with_crlf_ = false;
};

// The header region: the positions before the first CR LF CR LF (the blank
// line that ends the header block); none when the text has no such line.
std::size_t header_region_end(const char* text, std::size_t length) {
  std::size_t end = std::string_view(text, length).find("\r\n\r\n");
  return end == std::string_view::npos ? 0 : end;
}

// Finds where the ordinary bytes from `from` end: the next CR or LF, or
// length. *next_cr remembers the last CR search (SIZE_MAX: none yet); it stays
// good until the walk passes it.
std::size_t next_line_byte(const char* text, std::size_t from, std::size_t length,
                           std::size_t* next_cr) {
  if (*next_cr == static_cast<std::size_t>(-1) || *next_cr < from) {
    const void* cr = std::memchr(text + from, '\r', length - from);
    *next_cr = cr ? static_cast<std::size_t>(static_cast<const char*>(cr) - text) : length;
  }
  const void* lf = std::memchr(text + from, '\n', *next_cr - from);
  return lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - text) : *next_cr;
}

}  // namespace

int send_message_text(gensock_handle_t handle, const char* text, std::size_t length) {
  Wire wire(handle, text);
  std::size_t header_end = header_region_end(text, length);
  char previous = '\n';
  std::size_t next_cr = static_cast<std::size_t>(-1);
  for (std::size_t i = 0; i < length && wire.status() == 0; ++i) {
    char c = text[i];
    if (c != '\r' && c != '\n' && wire.mid_line()) {
      std::size_t end = next_line_byte(text, i, length, &next_cr);
      wire.take_span(i, end - i);
      previous = text[end - 1];
      i = end - 1;
      continue;
    }
    if (c == '\r' && i < header_end && i + 2 < length && text[i + 1] == '\r' &&
        text[i + 2] == '\n') {
      i += 2;  // CR CR LF inside the header region vanishes and joins the lines
      previous = '\n';
      continue;
    }
    if (c != '\r' || previous != '\r') wire.feed(i);  // a run of CRs counts as one
    previous = c;
  }
  if (wire.status() == 0) wire.finish();
  return wire.status();
}
