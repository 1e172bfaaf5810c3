#include "cli/run_driver.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "message/address_list.h"
#include "message/header_block.h"
#include "message/quoted_printable.h"
#include "platform/platform.h"
#include "quib/console.h"
#include "quib/exit_status.h"
#include "quib/mailer_state.h"
#include "smtp/smtp_dialogue.h"

namespace {

// The one message text of the run: header block, then the body, then a NUL.
// Its buffer may be reserved larger than the text; pages past the NUL are
// never touched.
struct MessageText {
  LargeBuffer buffer;
  std::size_t length = 0;  // header and body, the NUL not counted
  ~MessageText() { platform_release_large(&buffer); }
};

// Bodies are read in blocks of this size, small enough to stay in the
// processor's cache between the read and the next look at the bytes (the
// encoding, or the search for a NUL).
constexpr std::size_t kReadBlockBytes = 256 * 1024;

// header + extra + 1 in 64 bits, or 0 when that sum would overflow.
std::uint64_t text_capacity(std::size_t header_length, std::uint64_t extra) {
  const std::uint64_t limit = std::numeric_limits<std::uint64_t>::max() - header_length - 1;
  return extra > limit ? 0 : header_length + extra + 1;
}

// Reserves room for the header, extra bytes of body and the NUL, and puts
// the header first. False when memory does not allow it.
bool start_text(const std::string& header, std::uint64_t extra, MessageText* text) {
  const std::uint64_t capacity = text_capacity(header.size(), extra);
  if (capacity == 0 || platform_reserve_large(capacity, &text->buffer) != 0) return false;
  std::memcpy(text->buffer.data, header.data(), header.size());
  text->length = header.size();
  return true;
}

// Ends the text after count more bytes of body.
void finish_text(std::uint64_t count, MessageText* text) {
  text->length += static_cast<std::size_t>(count);
  text->buffer.data[text->length] = '\0';
}

void say_failure(const char* prefix, const char* name) {
  say(prefix);
  say(name);
  say(", aborting\n");
}

// Copies console input into a new temporary file, left open in *file, and
// points message_file at it.
std::optional<int> capture_console_input(PlatformFile* file) {
  std::string dir;
  platform_temp_dir(&dir);
  if (platform_capture_console_input(dir, "qbx", &temp_file_name, file) != 0) {
    say_failure("error opening temporary file ", temp_file_name.c_str());
    return kExitTempFile;
  }
  message_file = temp_file_name.c_str();
  return std::nullopt;
}

std::optional<int> open_message_file(PlatformFile* file) {
  if (platform_open_for_reading(message_file, file) != 0) {
    say_failure("error reading ", message_file);
    return kExitCantOpen;
  }
  if (!platform_is_disk_file(*file)) {
    say("Sorry, I can only mail messages from disk files...\n");
    return kExitNotDiskFile;
  }
  return std::nullopt;
}

// Header, then size bytes of body from memory: plain (up to the body's first
// NUL) or encoded. The text is sized exactly.
bool join_body(const char* body, std::uint64_t size, const std::string& header, MessageText* text) {
  if (!g_state.mime) {
    const void* nul = std::memchr(body, '\0', static_cast<std::size_t>(size));
    if (nul) size = static_cast<std::size_t>(static_cast<const char*>(nul) - body);
  }
  if (!start_text(header, g_state.mime ? qp_encoded_length(body, size) : size, text)) return false;
  char* out = text->buffer.data + text->length;
  if (!g_state.mime) {
    std::memcpy(out, body, static_cast<std::size_t>(size));
    finish_text(size, text);
    return true;
  }
  int line_length = 0;
  finish_text(qp_encode_buffer(body, size, &line_length, out), text);
  return true;
}

// Plain body: the file is read straight into the message text after the
// header, and the text ends at the body's first NUL, looked for block by
// block while the bytes just read are still in the cache.
bool read_plain_body(const PlatformFile& file, std::uint64_t size, const std::string& header,
                     MessageText* text) {
  if (!start_text(header, size, text)) return false;
  char* body = text->buffer.data + text->length;
  std::uint64_t length = size;  // up to the first NUL
  for (std::uint64_t at = 0; at < size;) {
    const std::size_t count =
        size - at < kReadBlockBytes ? static_cast<std::size_t>(size - at) : kReadBlockBytes;
    if (platform_read_exactly(file, body + at, count) != 0) return false;
    const void* nul = length == size ? std::memchr(body + at, '\0', count) : nullptr;
    if (nul) length = static_cast<std::uint64_t>(static_cast<const char*>(nul) - body);
    at += count;
  }
  finish_text(length, text);
  return true;
}

// -mime body: read block by block, each block encoded straight into the
// text, which is reserved for the most the encoding can give: the body is
// never whole in memory, and only the encoded text's pages are touched.
bool read_encoded_body(const PlatformFile& file, std::uint64_t size, const std::string& header,
                       MessageText* text) {
  const std::uint64_t bound = qp_encoded_length_bound(size);
  if (bound == 0 || !start_text(header, bound, text)) return false;
  std::unique_ptr<char[]> block(new (std::nothrow) char[kReadBlockBytes]);
  if (!block) return false;
  char* out = text->buffer.data + text->length;
  std::uint64_t written = 0;
  int line_length = 0;
  for (std::uint64_t left = size; left > 0;) {
    const std::size_t count =
        left < kReadBlockBytes ? static_cast<std::size_t>(left) : kReadBlockBytes;
    if (platform_read_exactly(file, block.get(), count) != 0) return false;
    written += qp_encode_buffer(block.get(), count, &line_length, out + written);
    left -= count;
  }
  finish_text(written, text);
  return true;
}

// A file whose size says 0 may still have content (the files of /proc):
// it is read to its real end.
bool read_unsized_body(const PlatformFile& file, const std::string& header, MessageText* text) {
  std::string body;
  if (platform_read_to_end(file, &body) != 0) return false;
  return join_body(body.data(), body.size(), header, text);
}

// Builds the whole message text from the open message file.
std::optional<int> load_message(const PlatformFile& file, const std::string& header,
                                MessageText* text) {
  std::uint64_t size = 0;
  bool read = platform_file_size(file, &size) == 0;
  if (read && size == 0) {
    read = read_unsized_body(file, header, text);
  } else if (read) {
    read = g_state.mime ? read_encoded_body(file, size, header, text)
                        : read_plain_body(file, size, header, text);
  }
  if (!read) {
    say_failure("error reading ", message_file);
    return kExitReadFailed;
  }
  return std::nullopt;
}

void print_progress() {
  say("Sending ");
  say(message_file);
  say(" to ");
  say(g_state.recipients.empty() ? "<unspecified>" : g_state.recipients.c_str());
  say("\n");
  if (g_state.subject[0] != '\0') {
    say("Subject:");
    say(g_state.subject);
    say("\n");
  }
  say("Login name is ");
  say(g_state.login);
  say("\n");
}

// One transaction; after a failure inside the dialogue nothing more is called.
int send_message(const MessageText& text) {
  int status = smtp_open_transaction(g_state.login, g_state.recipients);
  if (status != 0) return status;
  status = smtp_finish_message(text.buffer.data, text.length);
  if (status != 0) return status;
  smtp_quit();
  smtp_disconnect();
  return kExitSent;
}

// Everything up to the finished message text; the temporary file, if any,
// is deleted whatever the outcome. The exit status that ends the run, or
// nothing when the text is ready.
std::optional<int> prepare_message(MessageText* text) {
  std::string header;
  build_header_block(g_state, message_file, &header);
  PlatformFile file;
  const bool console = std::strcmp(message_file, "-") == 0;
  std::optional<int> status = console ? capture_console_input(&file) : open_message_file(&file);
  if (!status) status = load_message(file, header, text);
  platform_close_file(&file);
  if (console) platform_discard_temp_file(temp_file_name);
  return status;
}

}  // namespace

int run_driver() {
  build_recipient_list(g_state);
  MessageText text;
  std::optional<int> status = prepare_message(&text);
  if (!status) {
    print_progress();
    status = send_message(text);
  }
  std::string().swap(g_state.recipients);
  return *status;
}
