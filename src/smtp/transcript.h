// The transcript of a run (-debug, -log): one line per event, each led by
// the milliseconds since the run started. Commands sent ("> "), reply lines
// read ("< ") and steps ("* "), printable ASCII only (any other byte as
// \xNN), each cut after 512 bytes with a mark. The message text is one
// summary line; what a caller hides (credentials) it never hands in.
// Everything here costs a test of one flag while no transcript is kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Marks the start of the run: the times count from here.
void transcript_start_clock();

// Starts the transcript: to standard error when to_stderr, appended to the
// file log_name when it is not empty. 0, or the LogRefusal of
// platform_open_log when the log cannot be opened (nothing is kept then).
int transcript_open(bool to_stderr, const char* log_name);
// Ends the transcript and closes the log.
void transcript_close();

namespace transcript_detail {
extern bool g_on;
}
inline bool transcript_on() { return transcript_detail::g_on; }

// A step, as "* text".
void transcript_event(std::string_view text);
// A command as sent (its line end left out). `shown` is what may be seen.
void transcript_sent(std::string_view shown);
// A reply line as read (the first `stored` of its `length` bytes at line); returns it as shown.
std::string transcript_received(const char* line, std::size_t stored, std::size_t length);
// While on, reply lines are ones the socket library read before and hands
// on (the greeting, after its STARTTLS): shown as "* replayed ...", not "< ".
void transcript_replaying(bool on);
// A line of the socket library's own trace (gensock_set_trace).
void transcript_library_line(const char* line);
// The message text as it went out: its bytes, its lines, the longest line's
// bytes and the dots doubled.
void transcript_message_text(std::uint64_t bytes, std::uint64_t lines, std::uint64_t longest,
                             std::uint64_t dots);
// The text as shown here (a peer's with the backslash escaped too); empty while none is kept.
std::string transcript_shown(std::string_view text, bool from_peer = false);
