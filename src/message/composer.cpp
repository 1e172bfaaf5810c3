// The message composer.
#include "message/composer.h"

#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include "message/base64.h"
#include "message/encoded_words.h"
#include "message/header_block.h"
#include "message/mime_parts.h"
#include "message/quoted_printable.h"

namespace {

// Files are read in blocks of this size, small enough to stay in the
// processor's cache between the read and the next look at the bytes (the
// encoding, or the search for a NUL).
constexpr std::size_t kReadBlockBytes = 256 * 1024;
// The body is written first, as its form decides the header; the header goes
// in front of it once known, in this room when it fits.
constexpr std::size_t kHeadRoom = 64 * 1024;
// One part's header and delimiter, or the closing delimiter.
constexpr std::size_t kPartRoom = 1024;
// What a block of base64 may write beyond the length of its bytes encoded
// alone: the group held from the block before, a line end more, the last
// group with its line end; with room to spare.
constexpr std::size_t kBase64SlackBytes = 32;

// Makes room for extra more bytes and the NUL after the text, moving it into
// a larger reservation when they do not fit. False when memory does not allow it.
bool make_room(std::uint64_t extra, MessageText* text) {
  const std::uint64_t used = text->start + text->length;
  if (extra > std::numeric_limits<std::uint64_t>::max() - used - 1) return false;
  if (used + extra + 1 <= text->buffer.reserved) return true;
  LargeBuffer larger;
  if (platform_reserve_large(used + extra + 1, &larger) != 0) return false;
  if (text->buffer.data != nullptr) std::memcpy(larger.data, text->buffer.data, used);
  platform_release_large(&text->buffer);
  text->buffer = larger;
  return true;
}

char* end_of(MessageText* text) { return text->buffer.data + text->start + text->length; }

bool append_bytes(std::string_view bytes, MessageText* text) {
  if (!make_room(bytes.size(), text)) return false;
  std::memcpy(end_of(text), bytes.data(), bytes.size());
  text->length += bytes.size();
  *end_of(text) = '\0';
  return true;
}

// Puts bytes in front of the text: in the room before it when they fit,
// else the text moves up to make it.
bool prepend_bytes(const std::string& bytes, MessageText* text) {
  if (bytes.size() > text->start) {
    const std::size_t more = bytes.size() - text->start;
    if (!make_room(more, text)) return false;
    std::memmove(text->buffer.data + bytes.size(), text->buffer.data + text->start,
                 text->length + 1);
    text->start = bytes.size();
  }
  text->start -= bytes.size();
  text->length += bytes.size();
  std::memcpy(text->buffer.data + text->start, bytes.data(), bytes.size());
  return true;
}

// How a file's bytes become text.
enum class Coding {
  kPlain,  // as they stand, read straight into the text, up to the first NUL
  kQuotedPrintable,
};

// What a coding carries from one block to the next.
struct BlockState {
  int line_length = 0;  // characters on the current encoded line
  bool ended = false;   // the plain text has ended: what follows is read, not kept
};

// The most text size bytes can become; 0 (for a size above 0) when that
// count would overflow.
std::uint64_t most_text(Coding coding, std::uint64_t size) {
  return coding == Coding::kPlain ? size : qp_encoded_length_bound(size);
}

// Writes the text of count bytes at block to out and returns its length.
std::uint64_t write_text(Coding coding, const char* block, std::size_t count, BlockState* state,
                         char* out) {
  if (coding == Coding::kQuotedPrintable) {
    return qp_encode_buffer(block, count, &state->line_length, out);
  }
  if (state->ended) return 0;
  const void* nul = std::memchr(block, '\0', count);
  state->ended = nul != nullptr;
  return nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - block) : count;
}

// Appends the file's bytes to the text in the coding, block by block. The
// text is reserved for the most the coding can give, so only
// the pages of what it writes are touched. False on a read error or when
// memory does not allow it.
bool append_file(BlockReader* reader, Coding coding, MessageText* text) {
  std::uint64_t size = 0;
  if (reader->start(&size) != 0) return false;
  const std::uint64_t most = most_text(coding, size);
  if ((most == 0 && size > 0) || !make_room(most, text)) return false;
  std::unique_ptr<char[]> block;
  if (coding != Coding::kPlain) {
    block.reset(new (std::nothrow) char[kReadBlockBytes]);
    if (!block) return false;
  }
  BlockState state;
  for (std::uint64_t at = 0; at < size;) {
    const std::size_t count =
        size - at < kReadBlockBytes ? static_cast<std::size_t>(size - at) : kReadBlockBytes;
    char* out = end_of(text);
    char* into = coding == Coding::kPlain ? out : block.get();
    const std::int64_t read = reader->read(into, count);
    if (read < 0) return false;
    const std::size_t got = static_cast<std::size_t>(read);
    if (got < count) size = at + got;  // the real end: this block is the last
    text->length += static_cast<std::size_t>(write_text(coding, into, got, &state, out));
    at += got;
  }
  *end_of(text) = '\0';
  return true;
}

// Writes the body, the text's first bytes, and decides its form: a body
// that is not encoded whatever it holds is read as it stands, and encoded
// from memory after itself when its form asks (the text then starts there).
bool write_body(const MessageSpec& recipe, BodyForm* form, std::string* charset,
                MessageText* text) {
  const bool mime = recipe.state->mime != 0;
  if (!mime && !append_file(recipe.body, Coding::kPlain, text)) return false;
  const std::size_t size = text->length;
  const std::string_view read = mime ? std::string_view() : std::string_view(text->data(), size);
  PlainBodyForm plain;
  *form = decide_body_form(*recipe.state, *recipe.options, read, &plain, recipe.eight_bit);
  if (*form == BodyForm::kEncoded) return append_file(recipe.body, Coding::kQuotedPrintable, text);
  *charset = plain.charset;
  if (*form != BodyForm::kEncodedToNul) return true;
  if (plain.longest > kTextLineMost) text->long_line_encoded = plain.longest;
  const std::uint64_t encoded = qp_encoded_length(text->data(), size);
  if (!make_room(encoded, text)) return false;
  int line_length = 0;  // the text may have moved: data() again
  qp_encode_buffer(text->data(), size, &line_length, end_of(text));
  text->start += size;
  text->length = static_cast<std::size_t>(encoded);
  *end_of(text) = '\0';
  return true;
}

// Room for what the message will most likely need, so that the text is
// never moved while it grows. Only a hint (a sum that overflows spoils no
// more than that): an append that finds no room makes its own.
void reserve_for_message(const MessageSpec& recipe, MessageText* text) {
  const std::uint64_t body = recipe.body->reported_size();
  const std::uint64_t encoded = qp_encoded_length_bound(body);
  std::uint64_t most = kHeadRoom + kPartRoom + (recipe.state->mime ? encoded : body);
  if (!recipe.state->mime && recipe.options->charset[0] != '\0') most += encoded;
  make_room(most, text);
  text->start = kHeadRoom;
}

// The boundaries of a multipart message: `outer` for the whole, `inner`
// for the HTML body and its embedded files when attachments follow too.
struct Boundaries {
  std::string outer;
  std::string inner;
  // Where the embedded files are delimited.
  const std::string& related() const { return inner.empty() ? outer : inner; }
};

// The header block, then for a multipart message its first part's header:
// the body's, or the multipart/related part's and the body's inside it.
std::string head_of(const MessageSpec& recipe, BodyForm form, const std::string& charset,
                    const Boundaries& boundaries) {
  BodyLayout layout;
  layout.encoded = form == BodyForm::kEncoded || form == BodyForm::kEncodedToNul;
  layout.eight_bit = form == BodyForm::kEightBit;
  layout.boundary = boundaries.outer;
  layout.charset = charset;
  if (recipe.attachments.empty() && !recipe.embedded.empty()) layout.multipart = "related";
  std::string head;
  build_header_block(*recipe.state, *recipe.options, recipe.typed_name, layout, &head);
  if (boundaries.outer.empty()) return head;
  head += "--" + boundaries.outer + "\r\n";
  if (!boundaries.inner.empty()) {
    head += "Content-Type: multipart/related; type=\"text/html\"; boundary=\"" + boundaries.inner +
            "\"\r\n\r\n--" + boundaries.inner + "\r\n";
  }
  return head + body_content_lines(*recipe.state, *recipe.options, layout) + "\r\n";
}

// The embedded files' parts and the attachments' parts, each delimited by
// its boundary, and the closing delimiters.
std::vector<MessagePart> parts_after_body(const MessageSpec& recipe, const Boundaries& boundaries) {
  std::vector<MessagePart> parts;
  int blame = 2;
  const std::string related = "\r\n--" + boundaries.related();
  for (const AttachedFile& file : recipe.embedded) {
    const std::string head = embedded_part_header(file.name);
    parts.push_back(MessagePart{related + "\r\n" + head, file.reader, blame++});
  }
  if (!boundaries.inner.empty()) parts.push_back(MessagePart{related + "--", nullptr, 1});
  const std::string delimiter = "\r\n--" + boundaries.outer;
  for (const AttachedFile& file : recipe.attachments) {
    const std::string head = attachment_part_header(file.name, recipe.options->charset);
    parts.push_back(MessagePart{delimiter + "\r\n" + head, file.reader, blame++});
  }
  parts.push_back(MessagePart{delimiter + "--\r\n", nullptr, 1});
  return parts;
}

// Boundaries that occur in no plain part: the body when it goes as it
// stands, and the files' names.
Boundaries choose_boundaries(const MessageSpec& recipe, const MessageText& text) {
  Boundaries boundaries;
  if (recipe.attachments.empty() && recipe.embedded.empty()) return boundaries;
  std::vector<std::string_view> plain;
  if (text.form == BodyForm::kPlain || text.form == BodyForm::kEightBit) {
    plain.emplace_back(text.data(), text.length);
  }
  for (const AttachedFile& file : recipe.attachments) plain.push_back(base_name(file.name));
  for (const AttachedFile& file : recipe.embedded) plain.push_back(base_name(file.name));
  boundaries.outer = choose_boundary(plain);
  if (!recipe.attachments.empty() && !recipe.embedded.empty()) {
    plain.push_back(boundaries.outer);
    boundaries.inner = choose_boundary(plain);
  }
  return boundaries;
}

}  // namespace

BodyForm decide_body_form(const MailerState& state, const MessageOptions& options,
                          std::string_view text, PlainBodyForm* plain, EightBit eight_bit) {
  if (state.mime) return BodyForm::kEncoded;
  *plain = plain_body_form(text, options.charset, state.header_only_body != 0);
  if (eight_bit == EightBit::kNotAsked || !has_eight_bit(text)) {
    return plain->encoded ? BodyForm::kEncodedToNul : BodyForm::kPlain;
  }
  if (options.charset[0] == '\0') plain->charset = valid_utf8(text) ? "utf-8" : "ISO-8859-1";
  if (eight_bit == EightBit::kAllowed && plain->longest <= kTextLineMost) {
    return BodyForm::kEightBit;
  }
  plain->encoded = true;
  return BodyForm::kEncodedToNul;
}

int compose_message(const MessageSpec& recipe, MessageText* text) {
  reserve_for_message(recipe, text);
  std::string charset;  // declared for an encoded or 8-bit body that names none
  if (!write_body(recipe, &text->form, &charset, text)) return 1;
  const Boundaries boundaries = choose_boundaries(recipe, *text);
  if (!prepend_bytes(head_of(recipe, text->form, charset, boundaries), text)) return 1;
  if (boundaries.outer.empty()) return 0;
  // A body ending with a CR would lose it to the delimiter's CR LF: the
  // transmitter takes a run of CRs as one.
  if (text->length > 0 && text->data()[text->length - 1] == '\r' && !append_bytes("\n", text))
    return 1;
  text->parts = parts_after_body(recipe, boundaries);
  return 0;
}

std::uint64_t message_text_bytes(const MessageText& text) {
  std::uint64_t bytes = text.length;
  for (const MessagePart& part : text.parts) {
    bytes += part.text.size();
    if (part.reader) bytes += base64_encoded_length(part.reader->reported_size());
  }
  return bytes;
}

char* MessageStream::room(std::size_t bytes) {
  if (out_length_ + bytes <= out_room_) return out_.get() + out_length_;
  std::unique_ptr<char[]> larger(new (std::nothrow) char[out_length_ + bytes]);
  if (!larger) return nullptr;
  if (out_length_ > 0) std::memcpy(larger.get(), out_.get(), out_length_);
  out_ = std::move(larger);
  out_room_ = out_length_ + bytes;
  return out_.get() + out_length_;
}

// The part's text goes into the block, and its file is readied.
bool MessageStream::start_part(const MessagePart& part) {
  char* out = room(part.text.size());
  if (out == nullptr) return false;
  std::memcpy(out, part.text.data(), part.text.size());
  out_length_ += part.text.size();
  in_file_ = true;
  left_ = 0;
  base64_ = Base64Stream();
  if (part.reader == nullptr) return true;
  if (!in_) in_.reset(new (std::nothrow) char[kReadBlockBytes]);
  return in_ && part.reader->start(&left_) == 0;
}

// One more block of the file, encoded into the block handed out; the last
// group after the file's last block.
bool MessageStream::read_more(const MessagePart& part) {
  const std::size_t count =
      left_ < kReadBlockBytes ? static_cast<std::size_t>(left_) : kReadBlockBytes;
  char* out = room(static_cast<std::size_t>(base64_encoded_length(count)) + kBase64SlackBytes);
  if (out == nullptr) return false;
  const std::int64_t read = count > 0 ? part.reader->read(in_.get(), count) : 0;
  if (read < 0) return false;
  const std::size_t got = static_cast<std::size_t>(read);
  left_ = got < count ? 0 : left_ - got;  // fewer: the file's real end
  out_length_ += base64_encode_more(&base64_, in_.get(), got, out);
  if (left_ == 0) out_length_ += base64_encode_end(&base64_, out_.get() + out_length_);
  return true;
}

int MessageStream::next(const char** bytes, std::size_t* length) {
  if (failed_ != 0) return -1;
  if (!body_given_) {
    body_given_ = true;
    *bytes = text_.data();
    *length = text_.length;
    return 1;
  }
  if (part_ >= text_.parts.size()) return 0;
  const MessagePart& part = text_.parts[part_];
  out_length_ = 0;
  const bool ready = in_file_ || start_part(part);
  if (!ready || (part.reader != nullptr && !read_more(part))) {
    failed_ = part.blame;
    return -1;
  }
  if (part.reader == nullptr || left_ == 0) {
    ++part_;
    in_file_ = false;
  }
  *bytes = out_.get();
  *length = out_length_;
  return 1;
}
