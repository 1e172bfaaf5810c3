#include "smtp/transcript.h"

#include <chrono>
#include <vector>

#include "platform/platform.h"

namespace transcript_detail {
bool g_on = false;
}

namespace {

using Clock = std::chrono::steady_clock;

struct Transcript {
  Clock::time_point start = Clock::now();
  bool to_stderr = false;
  PlatformFile log;
  bool replaying = false;  // reply lines come from the library's memory
};

Transcript g_transcript;

// A reply line holds at most 512 bytes (RFC 5321 4.5.3.1.5): what is longer
// is cut with a mark.
constexpr std::size_t kShownBytes = 512;

// "1,234,567"
std::string grouped(std::uint64_t number) {
  std::string digits = std::to_string(number);
  for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

// Time, mark, text and a line end, written whole to each sink.
void write_line(const char* mark, std::string_view text) {
  const long long ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - g_transcript.start)
          .count();
  std::string time = std::to_string(ms);
  std::string line(time.size() < 6 ? 6 - time.size() : 0, ' ');
  line += time;
  line += " ms ";
  line += mark;
  line += text;
  line += '\n';
  if (g_transcript.to_stderr) platform_write_stderr(line.data(), line.size());
  platform_append_log(g_transcript.log, line.data(), line.size());
}

// The bytes without the line end they arrived or went with.
std::string_view without_line_end(std::string_view bytes) {
  while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r')) bytes.remove_suffix(1);
  return bytes;
}

// Shown form of the first bytes of length in all: printable ASCII as it
// stands, anything else as \xNN, cut after limit bytes with "[... N bytes
// in all]". In a peer's text the backslash is escaped too, so that no text
// can pass for an escaped byte.
std::string transcript_printable(std::string_view bytes, std::size_t length,
                                 std::size_t limit = kShownBytes, bool from_peer = false) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string shown;
  const std::size_t count = bytes.size() < limit ? bytes.size() : limit;
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c <= 0x7E && !(from_peer && c == '\\')) {
      shown += static_cast<char>(c);
    } else {
      shown += "\\x";
      shown += kHex[c >> 4];
      shown += kHex[c & 0xF];
    }
  }
  if (length > count) shown += "[... " + grouped(length) + " bytes in all]";
  return shown;
}

}  // namespace

void transcript_start_clock() { g_transcript.start = Clock::now(); }

int transcript_open(bool to_stderr, const char* log_name) {
  if (log_name != nullptr && log_name[0] != '\0') {
    const int refusal = platform_open_log(log_name, &g_transcript.log);
    if (refusal != 0) return refusal;
  }
  g_transcript.to_stderr = to_stderr;
  transcript_detail::g_on = to_stderr || g_transcript.log.handle != PlatformFile().handle;
  return 0;
}

void transcript_close() {
  platform_close_file(&g_transcript.log);
  g_transcript.to_stderr = false;
  transcript_detail::g_on = false;
}

void transcript_event(std::string_view text) {
  // Steps are quib's own words and the command line: shown whole.
  if (transcript_on()) write_line("* ", transcript_printable(text, text.size(), text.size()));
}

void transcript_sent(std::string_view shown) {
  if (!transcript_on()) return;
  const std::string_view line = without_line_end(shown);
  write_line("> ", transcript_printable(line, line.size()));
}

std::string transcript_received(const char* line, std::size_t stored, std::size_t length) {
  if (!transcript_on()) return std::string();
  const std::string_view bytes = stored == length ? without_line_end(std::string_view(line, stored))
                                                  : std::string_view(line, stored);
  std::string shown =
      transcript_printable(bytes, stored == length ? bytes.size() : length, kShownBytes, true);
  if (g_transcript.replaying) {
    write_line("* ", "replayed by the socket library: " + shown);
  } else {
    write_line("< ", shown);
  }
  return shown;
}

void transcript_replaying(bool on) { g_transcript.replaying = on; }

void transcript_library_line(const char* line) {
  if (!transcript_on()) return;
  std::string_view text(line);
  const char* mark = "* ";
  if (text.size() >= 2 && (text[0] == '>' || text[0] == '<') && text[1] == ' ') {
    mark = text[0] == '>' ? "> " : "< ";
    text.remove_prefix(2);
  }
  write_line(mark, transcript_printable(text, text.size(), kShownBytes, true));
}

void transcript_message_text(std::uint64_t bytes, std::uint64_t lines, std::uint64_t longest,
                             std::uint64_t dots) {
  if (!transcript_on()) return;
  write_line("> ", "[message text: " + grouped(bytes) + " bytes, " + grouped(lines) +
                       " lines, the longest " + grouped(longest) + " bytes, " + grouped(dots) +
                       " dots doubled]");
}

std::string transcript_shown(std::string_view text, bool from_peer) {
  return transcript_on() ? transcript_printable(text, text.size(), kShownBytes, from_peer)
                         : std::string();
}
