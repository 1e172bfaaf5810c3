#include "cli/run_driver.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "message/address_list.h"
#include "message/base64.h"
#include "message/encoded_words.h"
#include "message/header_block.h"
#include "message/mime_parts.h"
#include "message/quoted_printable.h"
#include "platform/platform.h"
#include "queue/queue.h"
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
  Base64Stream base64;
};

// How a file's bytes become text, a block at a time.
struct BlockTransform {
  // The most text size bytes can become; 0 (for a size above 0) when that
  // count would overflow.
  std::uint64_t (*most_text)(std::uint64_t size);
  // Writes the text of count bytes at block to out and returns its length.
  std::uint64_t (*write)(const char* block, std::size_t count, BlockState* state, char* out);
  // Writes what is left once the file has ended; null when nothing is.
  std::uint64_t (*finish)(BlockState* state, char* out);
  // Blocks are read straight into the text (block is out): the transform
  // only keeps or drops bytes.
  bool in_place;
};

std::uint64_t same_size(std::uint64_t size) { return size; }

// A plain body ends at its first NUL: how much of the block it keeps.
std::size_t kept_until_nul(const char* block, std::size_t count, BlockState* state) {
  if (state->ended) return 0;
  const void* nul = std::memchr(block, '\0', count);
  state->ended = nul != nullptr;
  return nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - block) : count;
}

std::uint64_t keep_until_nul(const char* block, std::size_t count, BlockState* state, char* out) {
  const std::size_t kept = kept_until_nul(block, count, state);
  if (block != out) std::memmove(out, block, kept);
  return kept;
}

std::uint64_t encode_block(const char* block, std::size_t count, BlockState* state, char* out) {
  return qp_encode_buffer(block, count, &state->line_length, out);
}

// A plain body that goes out encoded because of its charset: up to its
// first NUL, as plain.
std::uint64_t encode_until_nul(const char* block, std::size_t count, BlockState* state, char* out) {
  return encode_block(block, kept_until_nul(block, count, state), state, out);
}

std::uint64_t encode_base64(const char* block, std::size_t count, BlockState* state, char* out) {
  return base64_encode_more(&state->base64, block, count, out);
}

std::uint64_t end_base64(BlockState* state, char* out) {
  return base64_encode_end(&state->base64, out);
}

constexpr BlockTransform kPlainBody = {same_size, keep_until_nul, nullptr, true};
constexpr BlockTransform kEncodedBody = {qp_encoded_length_bound, encode_block, nullptr, false};
constexpr BlockTransform kCharsetBody = {qp_encoded_length_bound, encode_until_nul, nullptr, false};
constexpr BlockTransform kAttachment = {base64_encoded_length, encode_base64, end_base64, false};

// Appends the open file's content to the text through the transform, block
// by block, and ends the text with a NUL. size is what the file reports:
// that many bytes are read; a file whose size says 0 may still have content
// (the files of /proc) and is read whole to its real end first. A file that
// ends before its size is read to that end when it still reports the same
// size (a size that is a guess: the files of /sys say 4096); one whose size
// changed meanwhile shrank under the read, and fails it. The text is
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
    std::size_t count =
        size - at < kReadBlockBytes ? static_cast<std::size_t>(size - at) : kReadBlockBytes;
    char* out = text->buffer.data + text->length;
    char* into = read_whole ? nullptr : transform.in_place ? out : block.get();
    if (into != nullptr) {
      std::uint64_t got = 0;
      std::uint64_t now = 0;
      if (platform_read_exactly(file, into, count, &got) != 0) return false;
      if (got < count) {
        if (platform_file_size(file, &now) != 0 || now != size) return false;
        count = static_cast<std::size_t>(got);
        size = at + got;  // the real end: this block is the last
      }
    }
    const char* in = into != nullptr ? into : whole.data() + at;
    text->length += static_cast<std::size_t>(transform.write(in, count, &state, out));
    at += count;
  }
  if (transform.finish) {
    text->length +=
        static_cast<std::size_t>(transform.finish(&state, text->buffer.data + text->length));
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

// Opens the body file or an attachment; the messages name the file.
std::optional<int> open_for_mailing(const char* name, bool attachment, PlatformFile* file) {
  if (platform_open_for_reading(name, file) != 0) {
    say_failure("error reading ", name);
    return kExitCantOpen;
  }
  if (!platform_is_disk_file(*file)) {
    if (attachment) {
      say(name);
      say(": ");
    }
    say("Sorry, I can only mail messages from disk files...\n");
    return kExitNotDiskFile;
  }
  return std::nullopt;
}

std::optional<int> read_failure_status(const char* name) {
  say_failure("error reading ", name);
  return kExitReadFailed;
}

// A file of the run, open, with the size it reports.
struct OpenFile {
  const char* name;
  PlatformFile file;
  std::uint64_t size = 0;
};

// The attachments, opened in order.
struct Attachments {
  std::vector<OpenFile> files;
  ~Attachments() {
    for (OpenFile& open : files) platform_close_file(&open.file);
  }
};

std::optional<int> open_attachments(Attachments* attachments) {
  for (const char* name : g_state.attachments) {
    attachments->files.push_back(OpenFile{name, PlatformFile{}, 0});
    OpenFile& open = attachments->files.back();
    if (std::optional<int> status = open_for_mailing(name, true, &open.file)) return status;
    if (platform_file_size(open.file, &open.size) != 0) return read_failure_status(name);
  }
  return std::nullopt;
}

std::uint64_t saturating_sum(std::uint64_t a, std::uint64_t b) {
  return a > std::numeric_limits<std::uint64_t>::max() - b
             ? std::numeric_limits<std::uint64_t>::max()
             : a + b;
}

// Room for what the message will most likely need, so that the text is
// never moved while it grows: the body, each attachment's part, and some
// for the header lines and part headers. Only a hint: an append that finds
// no room makes its own.
void reserve_for_message(std::uint64_t body_size, const Attachments& attachments,
                         MessageText* text) {
  constexpr std::uint64_t kHeaderRoom = 64 * 1024;  // header lines and closing lines
  constexpr std::uint64_t kPartRoom = 1024;         // one part's header and boundary
  const bool may_encode = g_state.mime || g_state.charset[0] != '\0';
  std::uint64_t most =
      saturating_sum(kHeaderRoom, may_encode ? qp_encoded_length_bound(body_size) : body_size);
  for (const OpenFile& open : attachments.files) {
    most = saturating_sum(most, saturating_sum(base64_encoded_length(open.size), kPartRoom));
  }
  make_room(most, text);
}

// Where the body stands in the text, and, in a message with attachments,
// the two places of its boundary (in the header and in the first
// delimiter), settled once the body is there.
struct BodyPlace {
  std::size_t start = 0;
  std::size_t boundary_at[2] = {0, 0};
  bool encoded = false;
};

// Writes the text from its start: the header for the body's form, the
// body's own part header when attachments follow, then the body.
bool write_head_and_body(const char* typed_name, const OpenFile& body, bool encoded,
                         MessageText* text, BodyPlace* place) {
  BodyLayout layout;
  layout.encoded = encoded;
  if (!g_state.attachments.empty()) layout.boundary = choose_boundary({});
  std::string head;
  build_header_block(g_state, typed_name, layout, &head);
  if (!layout.boundary.empty()) {
    place->boundary_at[0] = head.rfind(layout.boundary);
    place->boundary_at[1] = head.size() + 2;
    head += "--" + layout.boundary + "\r\n" + body_content_lines(g_state, encoded) + "\r\n";
  }
  text->length = 0;
  place->start = head.size();
  place->encoded = encoded;
  const BlockTransform& transform = !encoded       ? kPlainBody
                                    : g_state.mime ? kEncodedBody
                                                   : kCharsetBody;
  return append_bytes(head, text) && append_file(body.file, body.size, transform, text);
}

// With -charset, a plain body that holds bytes above 127 is written again,
// encoded.
bool write_body(const char* typed_name, const OpenFile& body, MessageText* text, BodyPlace* place) {
  if (!write_head_and_body(typed_name, body, g_state.mime != 0, text, place)) return false;
  const std::string_view written(text->buffer.data + place->start, text->length - place->start);
  if (place->encoded || g_state.charset[0] == '\0' || !has_eight_bit(written)) return true;
  return platform_rewind_file(body.file) == 0 &&
         write_head_and_body(typed_name, body, true, text, place);
}

// The attachments' parts after the body, each delimited by the boundary
// chosen now that the plain body is known.
std::optional<int> append_attachments(const BodyPlace& place, const Attachments& attachments,
                                      MessageText* text) {
  std::vector<std::string_view> plain;
  if (!place.encoded)
    plain.emplace_back(text->buffer.data + place.start, text->length - place.start);
  for (const OpenFile& open : attachments.files) plain.push_back(base_name(open.name));
  const std::string boundary = choose_boundary(plain);
  for (std::size_t at : place.boundary_at) {
    std::memcpy(text->buffer.data + at, boundary.data(), boundary.size());
  }
  // A body ending with a CR would lose it to the delimiter's CR LF: the
  // transmitter takes a run of CRs as one.
  const bool lone_cr = text->length > place.start && text->buffer.data[text->length - 1] == '\r';
  if (lone_cr && !append_bytes("\n", text)) return read_failure_status(message_file);
  const std::string delimiter = "\r\n--" + boundary;
  for (const OpenFile& open : attachments.files) {
    const std::string head =
        delimiter + "\r\n" + attachment_part_header(open.name, g_state.charset);
    if (!append_bytes(head, text) || !append_file(open.file, open.size, kAttachment, text)) {
      return read_failure_status(open.name);
    }
  }
  if (!append_bytes(delimiter + "--\r\n", text)) return read_failure_status(message_file);
  text->buffer.data[text->length] = '\0';
  return std::nullopt;
}

// Builds the whole message text from the open message file and the
// attachments.
std::optional<int> load_message(const char* typed_name, const PlatformFile& file,
                                MessageText* text) {
  Attachments attachments;
  if (std::optional<int> status = open_attachments(&attachments)) return status;
  OpenFile body{message_file, file, 0};
  if (platform_file_size(file, &body.size) != 0) return read_failure_status(message_file);
  reserve_for_message(body.size, attachments, text);
  BodyPlace place;
  if (!write_body(typed_name, body, text, &place)) return read_failure_status(message_file);
  if (attachments.files.empty()) return std::nullopt;
  return append_attachments(place, attachments, text);
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
  const char* typed_name = message_file;
  PlatformFile file;
  const bool console = std::strcmp(message_file, "-") == 0;
  std::optional<int> status =
      console ? capture_console_input(&file) : open_for_mailing(message_file, false, &file);
  if (!status) status = load_message(typed_name, file, text);
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
    if (g_state.queue && *status == kExitSmtpFailed && failure_may_pass(g_state.failure)) {
      status = queue_message(text.buffer.data, text.length);
    }
  }
  std::string().swap(g_state.recipients);
  return *status;
}
