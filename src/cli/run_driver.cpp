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

// Files are read in blocks of this size, small enough to stay in the
// processor's cache between the read and the next look at the bytes (the
// encoding, or the search for a NUL).
constexpr std::size_t kReadBlockBytes = 256 * 1024;

// Makes room for extra more bytes and the NUL, moving the text into a
// larger reservation when they do not fit. False when memory does not allow it.
bool make_room(std::uint64_t extra, MessageText* text) {
  if (extra > std::numeric_limits<std::uint64_t>::max() - text->length - 1) return false;
  const std::uint64_t capacity = text->length + extra + 1;
  if (capacity <= text->buffer.reserved) return true;
  LargeBuffer larger;
  if (platform_reserve_large(capacity, &larger) != 0) return false;
  if (text->length > 0) std::memcpy(larger.data, text->buffer.data, text->length);
  platform_release_large(&text->buffer);
  text->buffer = larger;
  return true;
}

bool append_bytes(const std::string& bytes, MessageText* text) {
  if (!make_room(bytes.size(), text)) return false;
  std::memcpy(text->buffer.data + text->length, bytes.data(), bytes.size());
  text->length += bytes.size();
  return true;
}

// What a transform carries from one block to the next.
struct BlockState {
  int line_length = 0;  // characters on the current encoded line
  bool ended = false;   // the text has ended: what follows is read, not kept
};

// How a file's bytes become text, a block at a time.
struct BlockTransform {
  // The most text size bytes can become; 0 (for a size above 0) when that
  // count would overflow.
  std::uint64_t (*most_text)(std::uint64_t size);
  // Writes the text of count bytes at block to out and returns its length.
  std::uint64_t (*write)(const char* block, std::size_t count, BlockState* state, char* out);
  // Blocks are read straight into the text (block is out): the transform
  // only keeps or drops bytes.
  bool in_place;
};

std::uint64_t same_size(std::uint64_t size) { return size; }

// A plain body ends at its first NUL.
std::uint64_t keep_until_nul(const char* block, std::size_t count, BlockState* state, char* out) {
  if (state->ended) return 0;
  const void* nul = std::memchr(block, '\0', count);
  const std::size_t kept =
      nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - block) : count;
  state->ended = nul != nullptr;
  if (block != out) std::memmove(out, block, kept);
  return kept;
}

std::uint64_t encode_block(const char* block, std::size_t count, BlockState* state, char* out) {
  return qp_encode_buffer(block, count, &state->line_length, out);
}

constexpr BlockTransform kPlainBody = {same_size, keep_until_nul, true};
constexpr BlockTransform kEncodedBody = {qp_encoded_length_bound, encode_block, false};

// Appends the open file's content to the text through the transform, block
// by block, and ends the text with a NUL. size is what the file reports:
// that many bytes are read; a file whose size says 0 may still have content
// (the files of /proc) and is read whole to its real end first. The text is
// reserved for the most the transform can give, so only the pages of what
// it writes are touched. False on a read error or when memory does not allow it.
bool append_file(const PlatformFile& file, std::uint64_t size, const BlockTransform& transform,
                 MessageText* text) {
  std::string whole;
  const bool read_whole = size == 0;
  if (read_whole) {
    if (platform_read_to_end(file, &whole) != 0) return false;
    size = whole.size();
  }
  const std::uint64_t most = transform.most_text(size);
  if ((most == 0 && size > 0) || !make_room(most, text)) return false;
  std::unique_ptr<char[]> block;
  if (!read_whole && !transform.in_place) {
    block.reset(new (std::nothrow) char[kReadBlockBytes]);
    if (!block) return false;
  }
  BlockState state;
  for (std::uint64_t at = 0; at < size;) {
    const std::size_t count =
        size - at < kReadBlockBytes ? static_cast<std::size_t>(size - at) : kReadBlockBytes;
    char* out = text->buffer.data + text->length;
    char* into = read_whole ? nullptr : transform.in_place ? out : block.get();
    if (into != nullptr && platform_read_exactly(file, into, count) != 0) return false;
    const char* in = into != nullptr ? into : whole.data() + at;
    text->length += static_cast<std::size_t>(transform.write(in, count, &state, out));
    at += count;
  }
  text->buffer.data[text->length] = '\0';
  return true;
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

// Builds the whole message text from the open message file.
std::optional<int> load_message(const PlatformFile& file, const std::string& header,
                                MessageText* text) {
  std::uint64_t size = 0;
  const bool read = platform_file_size(file, &size) == 0 && append_bytes(header, text) &&
                    append_file(file, size, g_state.mime ? kEncodedBody : kPlainBody, text);
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
