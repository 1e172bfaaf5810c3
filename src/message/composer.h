// The message composer: the header block, the body in the form decided for
// it, and the attachments' parts, written into one text. Files come in
// through block readers that the caller fills, so composing does no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "message/body_form.h"
#include "platform/platform.h"
#include "quib/mailer_state.h"

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
BodyForm decide_body_form(const MailerState& state, std::string_view text, PlainBodyForm* plain,
                          EightBit eight_bit = EightBit::kNotAsked);

// A file sent as an attachment: its name as given, and its bytes.
struct AttachedFile {
  const char* name;
  BlockReader* reader;
};

// What the message is made of.
struct MessageSpec {
  const MailerState* state;  // the header's fields and the body's options
  const char* typed_name;    // argument 1 as typed, for the Subject
  BlockReader* body;
  std::vector<AttachedFile> attachments;
  // -embed: the files shown inside an HTML body, in multipart/related.
  std::vector<AttachedFile> embedded = {};
  // -8bit: whether the server takes an 8-bit body (8BITMIME).
  EightBit eight_bit = EightBit::kNotAsked;
};

// The composed message: length bytes at data() and a NUL after them, in a
// buffer that may be reserved larger.
struct MessageText {
  LargeBuffer buffer;
  std::size_t start = 0;
  std::size_t length = 0;
  BodyForm form = BodyForm::kPlain;  // the form the body went in
  // The body's longest line when that made it go quoted-printable, else 0.
  std::size_t long_line_encoded = 0;
  MessageText() = default;
  MessageText(const MessageText&) = delete;
  MessageText& operator=(const MessageText&) = delete;
  ~MessageText() { platform_release_large(&buffer); }
  const char* data() const { return buffer.data + start; }
};

// Composes the message into *text: 0, or the number of the file that could
// not be read, or for which memory did not allow room (1 the body, 2 the
// first embedded file, ..., then the attachments).
int compose_message(const MessageSpec& spec, MessageText* text);
