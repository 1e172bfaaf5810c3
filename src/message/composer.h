// The message composer: the header block and the body in the form decided
// for it, written into one text in memory, then the attachments' parts,
// each file encoded a block at a time as the transmitter pulls the text.
// Files come in through block readers that the caller fills, so the
// composer does no I/O of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "message/base64.h"
#include "message/body_form.h"
#include "message/message_options.h"
#include "platform/platform.h"
#include "quib/mailer_state.h"
#include "quib/text_source.h"

// Where a file's bytes come from, a block at a time.
class BlockReader {
 public:
  virtual ~BlockReader() = default;
  // The size the file reports, for the room the message will take.
  virtual std::uint64_t reported_size() const = 0;
  // Readies the file to be read from its start; *size is the count of bytes
  // to read. 0, or -1 on failure.
  virtual int start(std::uint64_t* size) = 0;
  // Reads count bytes (never past *size) into block: the count read, fewer
  // only where the file really ends; -1 on failure.
  virtual std::int64_t read(char* block, std::size_t count) = 0;
};

// How the body goes out, decided once per message.
enum class BodyForm {
  kPlain,         // as it stands, up to its first NUL
  kEncoded,       // -mime: quoted-printable, every byte
  kEncodedToNul,  // quoted-printable up to its first NUL, as plain text that cannot go as it stands
  kEightBit,      // -8bit to a server that takes it: as it stands, labelled 8bit
};

// With -8bit (eight_bit asked): whether the server takes an 8-bit body.
enum class EightBit { kNotAsked, kAllowed, kRefused };

// kEncoded with mime; else kEncodedToNul when the text (the body up to its
// first NUL) cannot go as it stands (plain_body_form says why and which
// charset it then declares, in *plain); else kPlain. When eight_bit is asked
// and the text holds bytes above 127: kEightBit when it is allowed and no
// line passes kTextLineMost, else kEncodedToNul.
BodyForm decide_body_form(const MailerState& state, const MessageOptions& options,
                          std::string_view text, PlainBodyForm* plain,
                          EightBit eight_bit = EightBit::kNotAsked);

// A file sent as an attachment: its name as given, and its bytes.
struct AttachedFile {
  const char* name;
  BlockReader* reader;
};

// What the message is made of.
struct MessageSpec {
  const MailerState* state;       // the header's fields, -mime and -penguin
  const MessageOptions* options;  // -html, -charset, the Message-ID and the -header lines
  const char* typed_name;         // argument 1 as typed, for the Subject
  BlockReader* body;
  std::vector<AttachedFile> attachments;
  // -embed: the files shown inside an HTML body, in multipart/related.
  std::vector<AttachedFile> embedded = {};
  // -8bit: whether the server takes an 8-bit body (8BITMIME).
  EightBit eight_bit = EightBit::kNotAsked;
};

// A part of the text after the body: text, then, when reader is set, that
// file's bytes in base64. blame is the number of the file that a failure
// is laid to (1 the body, 2 the first attachment, ...).
struct MessagePart {
  std::string text;
  BlockReader* reader;
  int blame;
};

// The composed message: the head and the body, length bytes at data() and a
// NUL after them, in a buffer that may be reserved larger; then the parts.
struct MessageText {
  LargeBuffer buffer;
  std::size_t start = 0;
  std::size_t length = 0;
  std::vector<MessagePart> parts;
  BodyForm form = BodyForm::kPlain;  // the form the body went in
  // The body's longest line when that made it go quoted-printable, else 0.
  std::size_t long_line_encoded = 0;
  MessageText() = default;
  MessageText(const MessageText&) = delete;
  MessageText& operator=(const MessageText&) = delete;
  ~MessageText() { platform_release_large(&buffer); }
  const char* data() const { return buffer.data + start; }
};

// Composes the head and the body into *text and lays out the parts that
// follow: 0, or the number of the file that could not be read, or for
// which memory did not allow room (1 the body, 2 the first embedded file,
// ..., then the attachments).
int compose_message(const MessageSpec& recipe, MessageText* text);

// The whole text of a composed message, a block at a time: the head and
// body as one block, then each part, its file read and encoded into one
// buffer of a few hundred KiB that is reused.
class MessageStream : public TextSource {
 public:
  explicit MessageStream(const MessageText& text) : text_(text) {}
  int next(const char** bytes, std::size_t* length) override;
  // The number of the file whose reading failed (as compose_message counts
  // them), or 0.
  int failed() const { return failed_; }

 private:
  bool start_part(const MessagePart& part);
  bool read_more(const MessagePart& part);
  char* room(std::size_t bytes);

  const MessageText& text_;
  bool body_given_ = false;
  std::size_t part_ = 0;    // the part under way
  bool in_file_ = false;    // the part's text went out: its file goes on
  std::uint64_t left_ = 0;  // bytes of the file still to read
  Base64Stream base64_;
  std::unique_ptr<char[]> in_;   // one block of the file
  std::unique_ptr<char[]> out_;  // the block handed out
  std::size_t out_room_ = 0;
  std::size_t out_length_ = 0;
  int failed_ = 0;
};

// The count of bytes the whole text holds, the parts' files in base64
// included; for telling how far a transmission has come.
std::uint64_t message_text_bytes(const MessageText& text);
