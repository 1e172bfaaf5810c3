// Base64 of attachments, block by block.
#include "message/base64.h"

#include <cstring>
#include <limits>
#include <string>

namespace {

constexpr int kLineChars = 76;  // RFC 2045's most, in whole groups
constexpr std::size_t kLineBytes = 57;

// Every 12-bit value as its two base64 characters: a group of three bytes
// is two look-ups.
struct PairTable {
  char pair[4096][2];
};

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr PairTable make_pair_table() {
  PairTable table{};
  for (int value = 0; value < 4096; ++value) {
    table.pair[value][0] = kAlphabet[value >> 6];
    table.pair[value][1] = kAlphabet[value & 63];
  }
  return table;
}

constexpr PairTable kPairs = make_pair_table();

inline char* put_group(const unsigned char* in, char* out) {
  const unsigned value = (unsigned{in[0]} << 16) | (unsigned{in[1]} << 8) | in[2];
  std::memcpy(out, kPairs.pair[value >> 12], 2);
  std::memcpy(out + 2, kPairs.pair[value & 0xfff], 2);
  return out + 4;
}

// The last one or two bytes as a group padded with "=".
inline char* put_last_group(const unsigned char* in, int count, char* out) {
  const unsigned char group[3] = {in[0], count == 2 ? in[1] : static_cast<unsigned char>(0), 0};
  char* at = put_group(group, out);
  at[-1] = '=';
  if (count == 1) at[-2] = '=';
  return at;
}

int base64_value(char c) {
  const char* at = c == '\0' ? nullptr : std::strchr(kAlphabet, c);
  return at == nullptr ? -1 : static_cast<int>(at - kAlphabet);
}

// One full line: nine pairs of groups, each pair read as one 64-bit word
// (its last two bytes belong to the next pair, and the ninth pair's still to
// the line), then the nineteenth group.
inline char* put_line(const unsigned char* in, char* out) {
  for (std::size_t at = 0; at < kLineBytes - 3; at += 6) {
    std::uint64_t word;
    std::memcpy(&word, in + at, sizeof word);
    word = __builtin_bswap64(word);  // little-endian load: the bytes in reading order, high first
    char chars[8];
    std::memcpy(chars, kPairs.pair[word >> 52], 2);
    std::memcpy(chars + 2, kPairs.pair[(word >> 40) & 0xfff], 2);
    std::memcpy(chars + 4, kPairs.pair[(word >> 28) & 0xfff], 2);
    std::memcpy(chars + 6, kPairs.pair[(word >> 16) & 0xfff], 2);
    std::memcpy(out, chars, sizeof chars);
    out += sizeof chars;
  }
  return put_group(in + kLineBytes - 3, out);
}

// The line end goes before the next character, never after the last one.
inline char* break_if_full(Base64Stream* stream, char* out) {
  if (stream->column < kLineChars) return out;
  out[0] = '\r';
  out[1] = '\n';
  stream->column = 0;
  return out + 2;
}

}  // namespace

std::uint64_t base64_encoded_length(std::uint64_t size) {
  if (size > std::numeric_limits<std::uint64_t>::max() / 2) return 0;
  const std::uint64_t chars = (size + 2) / 3 * 4;
  const std::uint64_t lines = (chars + kLineChars - 1) / kLineChars;
  return lines == 0 ? 0 : chars + 2 * (lines - 1);
}

std::size_t base64_encode_more(Base64Stream* stream, const char* data, std::size_t size,
                               char* out) {
  const unsigned char* in = reinterpret_cast<const unsigned char*>(data);
  const unsigned char* const end = in + size;
  char* at = out;
  while (stream->held_count > 0 && stream->held_count < 3 && in < end) {
    stream->held[stream->held_count++] = *in++;
  }
  if (stream->held_count == 3) {
    at = put_group(stream->held, break_if_full(stream, at));
    stream->column += 4;
    stream->held_count = 0;
  }
  while (end - in >= 3) {
    at = break_if_full(stream, at);
    if (stream->column == 0 && static_cast<std::size_t>(end - in) >= kLineBytes) {
      at = put_line(in, at);
      in += kLineBytes;
      stream->column = kLineChars;
      continue;
    }
    at = put_group(in, at);
    in += 3;
    stream->column += 4;
  }
  while (in < end) stream->held[stream->held_count++] = *in++;
  return static_cast<std::size_t>(at - out);
}

std::size_t base64_encode_end(Base64Stream* stream, char* out) {
  if (stream->held_count == 0) return 0;
  char* at = put_last_group(stream->held, stream->held_count, break_if_full(stream, out));
  stream->column += 4;
  stream->held_count = 0;
  return static_cast<std::size_t>(at - out);
}

std::string base64_encode(std::string_view bytes) {
  std::string out((bytes.size() + 2) / 3 * 4, '\0');
  const unsigned char* in = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t whole = bytes.size() / 3 * 3;
  char* at = &out[0];
  for (std::size_t done = 0; done < whole; done += 3) at = put_group(in + done, at);
  if (whole < bytes.size()) put_last_group(in + whole, static_cast<int>(bytes.size() - whole), at);
  return out;
}

bool base64_decode(std::string_view text, std::string* bytes) {
  bytes->clear();
  if (text.size() % 4 != 0) return false;
  for (std::size_t at = 0; at < text.size(); at += 4) {
    const bool last = at + 4 == text.size();
    int padding = 0;
    unsigned group = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      const char c = text[at + i];
      if (c == '=' && last && i >= 2 && (i == 3 || text[at + 3] == '=')) {
        ++padding;
        group <<= 6;
        continue;
      }
      const int value = base64_value(c);
      if (value < 0 || padding > 0) return false;
      group = group << 6 | static_cast<unsigned>(value);
    }
    bytes->push_back(static_cast<char>(group >> 16));
    if (padding < 2) bytes->push_back(static_cast<char>(group >> 8 & 255));
    if (padding < 1) bytes->push_back(static_cast<char>(group & 255));
  }
  return true;
}
