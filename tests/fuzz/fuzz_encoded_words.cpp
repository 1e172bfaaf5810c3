// The encoded-word writer: a Subject decodes back to its value (line breaks
// as blanks), every encoded word is at most 75 characters and holds whole
// UTF-8 characters, no line passes 78 characters, and for address lists the
// field is still one well-formed field.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "message/encoded_words.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

int digit(char c, bool hex) {
  const std::string_view digits =
      hex ? "0123456789ABCDEF" : "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::size_t at = digits.find(c);
  check(at != std::string_view::npos);
  return static_cast<int>(at);
}

// Decodes one "=?charset?Q?...?=" or "?B?" word strictly.
std::string decode_word(std::string_view word, std::string_view charset) {
  const std::string head = "=?" + std::string(charset) + "?";
  check(word.size() <= 75 && word.substr(0, head.size()) == head);
  check(word.substr(word.size() - 2) == "?=" && word[head.size() + 1] == '?');
  const bool q = word[head.size()] == 'Q';
  const std::string_view text = word.substr(head.size() + 2, word.size() - head.size() - 4);
  std::string bytes;
  unsigned value = 0;
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (q && text[at] == '=') {
      check(at + 2 < text.size());
      bytes += static_cast<char>(digit(text[at + 1], true) * 16 + digit(text[at + 2], true));
      at += 2;
    } else if (q) {
      bytes += text[at] == '_' ? ' ' : text[at];
    } else if (text[at] != '=') {
      value = value << 6 | static_cast<unsigned>(digit(text[at], false));
      if (at % 4 > 0) bytes += static_cast<char>(value >> (6 - 2 * (at % 4)) & 0xFF);
    } else {
      // Padding: the last one or two characters of the last group.
      check(at % 4 >= 2 && at + 4 - at % 4 == text.size() && (at % 4 == 3 || text[at + 1] == '='));
    }
  }
  check(q || text.size() % 4 == 0);
  return bytes;
}

bool whole_utf8(std::string_view bytes) {
  for (std::size_t at = 0; at < bytes.size();) {
    const unsigned char lead = static_cast<unsigned char>(bytes[at]);
    std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    for (std::size_t k = 1; k < length; ++k) {
      if (at + k >= bytes.size() || (static_cast<unsigned char>(bytes[at + k]) & 0xC0) != 0x80) {
        return false;
      }
    }
    at += length;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const char* const charsets[] = {"utf-8", "windows-1252",
                                  "x-a-very-long-character-set-name-of-40"};
  const std::string_view charset = charsets[data[0] % 3];
  const bool text = data[0] & 4;
  const std::string_view value(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string field;
  append_encoded_field(&field, text ? "Subject" : "To", value, charset,
                       text ? FieldKind::kText : FieldKind::kAddresses);
  // One field: CR LF only as line ends, every line after the first folded.
  check(field.size() >= 2 && field.substr(field.size() - 2) == "\r\n");
  std::string unfolded;
  for (std::size_t start = 0; start < field.size();) {
    const std::size_t end = field.find("\r\n", start);
    const std::string_view line(field.data() + start, end - start);
    check(line.find_first_of("\r\n") == std::string_view::npos);
    check(start == 0 || (!line.empty() && (line[0] == ' ' || line[0] == '\t')));
    if (text) check(line.size() <= 78);
    unfolded += line;
    start = end + 2;
  }
  if (!text) return 0;
  // The Subject is encoded words alone, which decode to the value.
  std::string expected;
  for (std::size_t at = 0; at < value.size(); ++at) {
    if (value[at] != '\r' && value[at] != '\n') {
      expected += value[at];
      continue;
    }
    while (at + 1 < value.size() && (value[at + 1] == '\r' || value[at + 1] == '\n')) ++at;
    if (at + 1 < value.size()) expected += ' ';
  }
  std::string decoded;
  std::size_t at = std::string_view("Subject:").size();
  while (at < unfolded.size()) {
    check(unfolded[at] == ' ');
    const std::size_t end = std::min(unfolded.find(' ', at + 1), unfolded.size());
    const std::string piece =
        decode_word(std::string_view(unfolded).substr(at + 1, end - at - 1), charset);
    if (charset == "utf-8" && whole_utf8(expected)) check(whole_utf8(piece));
    decoded += piece;
    at = end;
  }
  check(decoded == expected);
  return 0;
}
