#include "cli/run_driver.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
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

// Result of a step that lets the run go on.
constexpr int kStepDone = -1000;

// The one message text of the run: header block, then the body, then a NUL.
struct MessageText {
  std::unique_ptr<char[]> bytes;
  std::size_t length = 0;  // header and body, the NUL not counted
};

// Allocates count bytes, or null when memory does not allow it (or the count
// does not fit the address space).
std::unique_ptr<char[]> allocate(std::uint64_t count) {
  if (count > std::numeric_limits<std::size_t>::max()) return nullptr;
  return std::unique_ptr<char[]>(new (std::nothrow) char[static_cast<std::size_t>(count)]);
}

// header + extra + 1 in 64 bits, or 0 when that sum would overflow.
std::uint64_t text_capacity(std::size_t header_length, std::uint64_t extra) {
  const std::uint64_t limit = std::numeric_limits<std::uint64_t>::max() - header_length - 1;
  return extra > limit ? 0 : header_length + extra + 1;
}

void say_failure(const char* prefix, const char* name) {
  say(prefix);
  say(name);
  say(", aborting\n");
}

// Copies console input into a new temporary file, left open in *file, and
// points message_file at it.
int capture_console_input(PlatformFile* file) {
  std::string dir;
  platform_temp_dir(&dir);
  if (platform_capture_console_input(dir, "qbx", &temp_file_name, file) != 0) {
    say_failure("error opening temporary file ", temp_file_name.c_str());
    return kExitTempFile;
  }
  message_file = temp_file_name.c_str();
  return kStepDone;
}

int open_message_file(PlatformFile* file) {
  if (platform_open_for_reading(message_file, file) != 0) {
    say_failure("error reading ", message_file);
    return kExitCantOpen;
  }
  if (!platform_is_disk_file(*file)) {
    say("Sorry, I can only mail messages from disk files...\n");
    return kExitNotDiskFile;
  }
  return kStepDone;
}

// Encodes size bytes of body after the header; the text was sized for
// exactly the encoded length.
void encode_body(const char* body, std::uint64_t size, MessageText* text,
                 std::size_t header_length) {
  int line_length = 0;
  char* out = text->bytes.get();
  const std::uint64_t encoded = qp_encode_buffer(body, size, &line_length, out + header_length);
  text->length = header_length + static_cast<std::size_t>(encoded);
  out[text->length] = '\0';
}

// Header, then size bytes of body from memory: plain (up to the body's first
// NUL) or encoded. The text is sized exactly.
bool join_body(const char* body, std::uint64_t size, const std::string& header, MessageText* text) {
  if (!g_state.mime) {
    const void* nul = std::memchr(body, '\0', static_cast<std::size_t>(size));
    if (nul) size = static_cast<std::size_t>(static_cast<const char*>(nul) - body);
  }
  const std::uint64_t capacity =
      text_capacity(header.size(), g_state.mime ? qp_encoded_length(body, size) : size);
  if (capacity == 0) return false;
  text->bytes = allocate(capacity);
  if (!text->bytes) return false;
  std::memcpy(text->bytes.get(), header.data(), header.size());
  if (g_state.mime) {
    encode_body(body, size, text, header.size());
  } else {
    std::memcpy(text->bytes.get() + header.size(), body, static_cast<std::size_t>(size));
    text->length = header.size() + static_cast<std::size_t>(size);
    text->bytes[text->length] = '\0';
  }
  return true;
}

// Plain body: the file is read straight into the message text after the
// header, and the text ends at the body's first NUL.
bool read_plain_body(const PlatformFile& file, std::uint64_t size, const std::string& header,
                     MessageText* text) {
  const std::uint64_t capacity = text_capacity(header.size(), size);
  if (capacity == 0) return false;
  text->bytes = allocate(capacity);
  if (!text->bytes) return false;
  char* body = text->bytes.get() + header.size();
  std::memcpy(text->bytes.get(), header.data(), header.size());
  if (platform_read_exactly(file, body, size) != 0) return false;
  body[size] = '\0';
  const void* nul = std::memchr(body, '\0', static_cast<std::size_t>(size));
  const std::size_t body_length =
      nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - body)
          : static_cast<std::size_t>(size);
  text->length = header.size() + body_length;
  return true;
}

// -mime body: read into a body buffer, then encoded into a text sized
// exactly for the header and the encoded body.
bool read_encoded_body(const PlatformFile& file, std::uint64_t size, const std::string& header,
                       MessageText* text) {
  if (size == std::numeric_limits<std::uint64_t>::max()) return false;
  std::unique_ptr<char[]> body = allocate(size + 1);
  if (!body) return false;
  if (platform_read_exactly(file, body.get(), size) != 0) return false;
  body[size] = '\0';
  return join_body(body.get(), size, header, text);
}

// A file whose size says 0 may still have content (the files of /proc):
// it is read to its real end.
bool read_unsized_body(const PlatformFile& file, const std::string& header, MessageText* text) {
  std::string body;
  if (platform_read_to_end(file, &body) != 0) return false;
  return join_body(body.data(), body.size(), header, text);
}

// Builds the whole message text from the open message file.
int load_message(const PlatformFile& file, const std::string& header, MessageText* text) {
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
  return kStepDone;
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
  status = smtp_finish_message(text.bytes.get(), text.length);
  if (status != 0) return status;
  smtp_quit();
  smtp_disconnect();
  return kExitSent;
}

// Everything up to the finished message text; the temporary file, if any,
// is deleted whatever the outcome.
int prepare_message(MessageText* text) {
  std::string header;
  build_header_block(g_state, message_file, &header);
  PlatformFile file;
  const bool console = std::strcmp(message_file, "-") == 0;
  int status = console ? capture_console_input(&file) : open_message_file(&file);
  if (status == kStepDone) status = load_message(file, header, text);
  platform_close_file(&file);
  if (console) platform_discard_temp_file(temp_file_name);
  return status;
}

}  // namespace

int run_driver() {
  build_recipient_list(g_state);
  MessageText text;
  int status = prepare_message(&text);
  if (status == kStepDone) {
    print_progress();
    status = send_message(text);
  }
  std::string().swap(g_state.recipients);
  return status;
}
