// Encoded words and folded fields.
#include "message/encoded_words.h"

#include <algorithm>

#include "message/base64.h"

namespace {

constexpr std::size_t kLineMost = 78;  // RFC 5322's recommended line length
constexpr std::size_t kWordMost = 75;  // RFC 2047's longest encoded word
// Room kept after an encoded word for what may be glued to it, as ")," after
// a comment.
constexpr std::size_t kGlueRoom = 2;
const char kHexDigits[] = "0123456789ABCDEF";

// Bytes that stand as themselves in a Q-encoded word wherever it is
// (RFC 2047, 5 (3)); the blank is written "_", everything else "=XX".
bool q_literal(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '!' ||
         c == '*' || c == '+' || c == '-' || c == '/';
}

std::size_t q_length(unsigned char c) { return q_literal(c) || c == ' ' ? 1 : 3; }

void append_q(std::string_view bytes, std::string* word) {
  for (unsigned char c : bytes) {
    if (q_literal(c)) {
      *word += static_cast<char>(c);
    } else if (c == ' ') {
      *word += '_';
    } else {
      *word += '=';
      *word += kHexDigits[c >> 4];
      *word += kHexDigits[c & 15];
    }
  }
}

void append_b(std::string_view bytes, std::string* word) {
  std::string out(base64_encoded_length(bytes.size()), '\0');
  Base64Stream stream;
  std::size_t length = base64_encode_more(&stream, bytes.data(), bytes.size(), &out[0]);
  length += base64_encode_end(&stream, &out[length]);
  word->append(out, 0, length);  // one line: a word holds fewer than 57 bytes
}

bool is_utf8(std::string_view charset) {
  std::string name;
  for (char c : charset) name += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return name == "utf-8" || name == "utf8";
}

// The length of the character that starts at `at`: a UTF-8 lead byte and
// the continuation bytes after it, or one byte.
std::size_t character_length(std::string_view text, std::size_t at, bool utf8) {
  std::size_t end = at + 1;
  if (utf8 && static_cast<unsigned char>(text[at]) >= 0xC0) {
    while (end < text.size() && end - at < 4 &&
           (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
      ++end;
    }
  }
  return end - at;
}

// Encoded size of count bytes.
std::size_t payload_length(std::string_view bytes, bool q) {
  if (!q) return (bytes.size() + 2) / 3 * 4;
  std::size_t length = 0;
  for (unsigned char c : bytes) length += q_length(c);
  return length;
}

// A field being written: text is gathered into an atom (what must stay on
// one line) until a blank, where the atom is placed, after a fold when it
// would pass the line's end.
class FoldedField {
 public:
  FoldedField(std::string* block, const char* name, std::string_view charset)
      : block_(block), charset_(charset) {
    *block_ += name;
    *block_ += ':';
    const std::size_t line_start = block_->rfind('\n');
    line_ = block_->size() - (line_start == std::string::npos ? 0 : line_start + 1);
  }

  void text(std::string_view bytes) { atom_ += bytes; }

  void blank(std::string_view blanks) {
    place();
    space_ += blanks;
  }

  // The text as encoded words glued to what stands before and after them,
  // with a place to fold between any two.
  void words(std::string_view text) {
    const std::size_t overhead = charset_.size() + 7;  // "=?", "?Q?", "?="
    const std::size_t smallest = overhead + 12;        // room for any one character
    const std::size_t space = std::max<std::size_t>(space_.size(), 1);
    std::size_t first = room(line_ + space_.size() + atom_.size());
    if (first < smallest) first = room(space + atom_.size());
    const std::vector<std::string> encoded =
        encode_words(text, charset_, std::max(first, smallest), room(1));
    for (std::size_t i = 0; i < encoded.size(); ++i) {
      if (i > 0) blank(" ");
      atom_ += encoded[i];
    }
  }

  void end() {
    place();
    *block_ += "\r\n";
  }

 private:
  static std::size_t room(std::size_t used) {
    const std::size_t left = used + kGlueRoom < kLineMost ? kLineMost - used - kGlueRoom : 0;
    return std::min(left, kWordMost);
  }

  void place() {
    if (atom_.empty()) return;
    if (space_.empty()) space_ = " ";
    if (placed_ && line_ + space_.size() + atom_.size() > kLineMost) {
      *block_ += "\r\n";
      line_ = 0;
    }
    *block_ += space_;
    *block_ += atom_;
    line_ += space_.size() + atom_.size();
    space_.clear();
    atom_.clear();
    placed_ = true;
  }

  std::string* block_;
  std::string_view charset_;
  std::size_t line_ = 0;
  std::string space_ = " ";
  std::string atom_;
  bool placed_ = false;
};

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Characters that end a plain run of an address list.
bool ends_run(char c) {
  return is_blank(c) || c == '(' || c == ')' || c == '<' || c == '>' || c == ',' || c == '"';
}

// Past the quoted string that opens at `at`, backslash escapes included.
std::size_t skip_quoted(std::string_view v, std::size_t at, std::string* content) {
  for (++at; at < v.size() && v[at] != '"'; ++at) {
    if (v[at] == '\\' && at + 1 < v.size()) ++at;
    if (content) *content += v[at];
  }
  return std::min(at + 1, v.size());
}

// The end of the name that starts at `at`: words and quoted strings with
// blanks between them, up to an address, a comment or a separator; `at`
// itself when no name starts there. *shown gets the name as a reader shows
// it: quoted strings without their quotes, and a name typed in single
// quotes without them.
std::size_t scan_name(std::string_view v, std::size_t at, std::string* shown) {
  std::string name;
  std::size_t end = at;
  for (std::size_t pos = at; pos < v.size();) {
    std::size_t word = pos;
    while (word < v.size() && is_blank(v[word])) ++word;
    if (word == v.size()) break;
    std::string piece;
    std::size_t next = word;
    if (v[word] == '"') {
      next = skip_quoted(v, word, &piece);
    } else {
      while (next < v.size() && !ends_run(v[next])) ++next;
      piece = v.substr(word, next - word);
      if (next == word || piece.find('@') != std::string::npos) break;
    }
    name += v.substr(pos, word - pos);  // the blanks between two pieces
    name += piece;
    pos = end = next;
  }
  if (name.size() >= 2 && name.front() == '\'' && name.back() == '\'') {
    name = name.substr(1, name.size() - 2);
  }
  *shown = name;
  return end;
}

// A comment or an address in angle brackets, from `at` past its closing
// character (or to the end of the value).
std::size_t skip_bracketed(std::string_view v, std::size_t at) {
  const std::size_t close = v.find(v[at] == '(' ? ')' : '>', at + 1);
  return close == std::string_view::npos ? v.size() : close + 1;
}

void write_addresses(FoldedField* field, std::string_view v) {
  for (std::size_t at = 0; at < v.size();) {
    std::size_t end = at + 1;
    std::string name;
    if (is_blank(v[at])) {
      while (end < v.size() && is_blank(v[end])) ++end;
      field->blank(v.substr(at, end - at));
    } else if (v[at] == '(' || v[at] == '<') {
      end = skip_bracketed(v, at);
      const bool closed = v[end - 1] == ')' && end - at >= 2;
      const std::string_view inner = v.substr(at + 1, end - at - 1 - (closed ? 1 : 0));
      if (v[at] == '(' && has_eight_bit(inner)) {
        field->text("(");
        field->words(inner);
        if (closed) field->text(")");
      } else {
        field->text(v.substr(at, end - at));
      }
    } else if ((end = scan_name(v, at, &name)) > at) {
      if (has_eight_bit(name)) {
        field->words(name);
      } else {
        field->text(v.substr(at, end - at));
      }
    } else {
      // An address, or a separator: as typed.
      end = at + 1;
      if (!ends_run(v[at])) {
        while (end < v.size() && !ends_run(v[end])) ++end;
      }
      field->text(v.substr(at, end - at));
    }
    at = end;
  }
}

}  // namespace

bool has_eight_bit(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) > 127; });
}

bool valid_utf8(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if ((lead >= 0x80 && lead < 0xC2) || lead > 0xF4 || at + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[at + k]) & 0xC0) != 0x80) return false;
    }
    at += length;
  }
  return true;
}

std::vector<std::string> encode_words(std::string_view text, std::string_view charset,
                                      std::size_t first_max, std::size_t max) {
  const bool q = payload_length(text, true) <= payload_length(text, false);
  const bool utf8 = is_utf8(charset);
  const std::string head = "=?" + std::string(charset) + (q ? "?Q?" : "?B?");
  std::vector<std::string> words;
  std::size_t start = 0;
  std::size_t taken = 0;  // bytes of the current word
  auto close_word = [&]() {
    std::string word = head;
    (q ? append_q : append_b)(text.substr(start, taken), &word);
    words.push_back(word + "?=");
    start += taken;
    taken = 0;
  };
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = character_length(text, at, utf8);
    const std::size_t most = std::min(words.empty() ? first_max : max, kWordMost);
    const std::size_t grown =
        head.size() + 2 + payload_length(text.substr(start, taken + length), q);
    if (grown > most && taken > 0) close_word();
    taken += length;
    at += length;
  }
  if (taken > 0 || words.empty()) close_word();
  return words;
}

void append_encoded_field(std::string* block, const char* name, std::string_view value,
                          std::string_view charset, FieldKind kind) {
  // Line breaks first: a run of them is one blank, one at the end nothing.
  std::string v;
  for (std::size_t at = 0; at < value.size(); ++at) {
    if (value[at] != '\r' && value[at] != '\n') {
      v += value[at];
      continue;
    }
    while (at + 1 < value.size() && (value[at + 1] == '\r' || value[at + 1] == '\n')) ++at;
    if (at + 1 < value.size()) v += ' ';
  }
  FoldedField field(block, name, charset);
  if (kind == FieldKind::kText) {
    field.words(v);
  } else {
    write_addresses(&field, v);
  }
  field.end();
}
