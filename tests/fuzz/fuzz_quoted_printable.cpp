// The quoted-printable encoder: decoding its output gives back the input
// (every CR dropped, every LF a line break), no output line is longer than
// 75 characters with its soft-break "=", only the characters the encoding
// allows appear, and the one-byte, the length and the bulk forms agree.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "message/quoted_printable.h"
#include "support/qp_reference.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

int hex_value(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
  return -1;  // lower-case digits are never written
}

// Decodes strictly; aborts on anything the encoder must not write.
std::string decode(const std::string& encoded) {
  std::string decoded;
  std::size_t line_start = 0;
  for (std::size_t at = 0; at < encoded.size();) {
    const char c = encoded[at];
    if (c == '\r') {
      check(at + 1 < encoded.size() && encoded[at + 1] == '\n');
      check(at - line_start <= 75);
      decoded += '\n';
      at += 2;
      line_start = at;
    } else if (c == '=' && at + 1 < encoded.size() && encoded[at + 1] == '\r') {
      check(at + 2 < encoded.size() && encoded[at + 2] == '\n');
      check(at + 1 - line_start <= 75);
      at += 3;
      line_start = at;
    } else if (c == '=') {
      check(at + 2 < encoded.size());
      const int high = hex_value(encoded[at + 1]);
      const int low = hex_value(encoded[at + 2]);
      check(high >= 0 && low >= 0);
      const int value = high * 16 + low;
      // Only what may not stand as itself is encoded.
      check(value < 33 || value > 126 || value == '=');
      decoded += static_cast<char>(value);
      at += 3;
    } else {
      const unsigned char u = static_cast<unsigned char>(c);
      check(u >= 33 && u <= 126);
      decoded += c;
      ++at;
    }
  }
  check(encoded.size() - line_start <= 75);
  return decoded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* body = reinterpret_cast<const char*>(data);
  std::string encoded;
  int line_length = 0;
  for (std::size_t at = 0; at < size; ++at) {
    encoded += qp_reference_piece(data[at], &line_length);
    check(line_length >= 0 && line_length <= 71);
  }

  std::string expected;
  for (std::size_t at = 0; at < size; ++at) {
    if (body[at] != '\r') expected += body[at];
  }
  check(decode(encoded) == expected);
  check(qp_encoded_length(body, size) == encoded.size());

  // The bulk form writes exactly what the pieces give, into a block of
  // exactly that size.
  std::unique_ptr<char[]> out(new char[encoded.size() + 1]);
  out[encoded.size()] = '#';
  int bulk_line = 0;
  const std::uint64_t written = qp_encode_buffer(body, size, &bulk_line, out.get());
  check(written == encoded.size());
  check(std::memcmp(out.get(), encoded.data(), encoded.size()) == 0);
  check(out[encoded.size()] == '#');
  check(bulk_line == line_length);
  return 0;
}
