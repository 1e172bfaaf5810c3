// Quoted-printable encoding of the body, one byte at a time or in bulk.
#include "message/quoted_printable.h"

#include <cstring>
#include <limits>

namespace {

// A soft line break follows once a line holds more than this many characters,
// so that no encoded line, its "=" included, passes 75.
constexpr int kSoftBreakAfter = 71;
const char kSoftBreak[] = "=\r\n";
constexpr int kSoftBreakLength = 3;

// What one byte gives, before any soft break: up to three characters and a
// NUL (four bytes, copied whole), how many of them count as output, how much
// the line grows, and whether the line starts again (LF).
struct alignas(8) ByteCode {
  char text[4];
  unsigned char length;
  unsigned char growth;
  bool hard_break;
};

struct CodeTable {
  ByteCode code[256];
};

constexpr CodeTable make_code_table() {
  const char* digits = "0123456789ABCDEF";
  CodeTable table{};
  for (int value = 0; value < 256; ++value) {
    ByteCode& entry = table.code[value];
    if (value == '\r') {
      entry = ByteCode{{0, 0, 0, 0}, 0, 0, false};
    } else if (value == '\n') {
      entry = ByteCode{{'\r', '\n', 0, 0}, 2, 0, true};
    } else if (value < 33 || value > 126 || value == '=') {
      entry = ByteCode{{'=', digits[value / 16], digits[value % 16], 0}, 3, 3, false};
    } else {
      entry = ByteCode{{static_cast<char>(value), 0, 0, 0}, 1, 1, false};
    }
  }
  return table;
}

constexpr CodeTable kCodes = make_code_table();

// The line count after one byte's code, before the soft-break test.
inline int grown_line(const ByteCode& code, int line_length) {
  // An LF grows nothing; written as a mask so that no branch depends on it.
  return (line_length & -static_cast<int>(!code.hard_break)) + code.growth;
}

// Bulk output is gathered here with whole four-byte stores, then copied out,
// so that no store runs past the caller's exactly sized buffer.
constexpr std::size_t kStageBytes = 16384;
// The most one byte can add: a triple's four-byte store, or a triple and
// the soft break.
constexpr std::size_t kStageSlack = 8;

}  // namespace

std::uint64_t qp_encoded_length(const char* body, std::uint64_t size) {
  std::uint64_t total = 0;
  int line = 0;
  for (std::uint64_t at = 0; at < size; ++at) {
    const ByteCode& code = kCodes.code[static_cast<unsigned char>(body[at])];
    total += code.length;
    line = grown_line(code, line);
    if (line > kSoftBreakAfter) {
      total += kSoftBreakLength;
      line = 0;
    }
  }
  return total;
}

std::uint64_t qp_encoded_length_bound(std::uint64_t size) {
  // Each byte adds at most three characters to the line, and a soft break
  // needs more than 71 of them, so at most one break per 24 bytes.
  constexpr std::uint64_t kMaxGrowth = 3;
  constexpr std::uint64_t kBytesPerBreak = (kSoftBreakAfter + 1) / kMaxGrowth;
  if (size > std::numeric_limits<std::uint64_t>::max() / 4) return 0;
  return kMaxGrowth * size + kSoftBreakLength * (size / kBytesPerBreak);
}

std::uint64_t qp_encode_buffer(const char* body, std::uint64_t size, int* line_length, char* out) {
  char stage[kStageBytes + kStageSlack];
  std::size_t staged = 0;
  std::uint64_t written = 0;
  int line = *line_length;
  for (std::uint64_t at = 0; at < size; ++at) {
    const ByteCode& code = kCodes.code[static_cast<unsigned char>(body[at])];
    std::memcpy(stage + staged, code.text, sizeof code.text);
    staged += code.length;
    line = grown_line(code, line);
    if (line > kSoftBreakAfter) {
      std::memcpy(stage + staged, kSoftBreak, kSoftBreakLength);
      staged += kSoftBreakLength;
      line = 0;
    }
    if (staged >= kStageBytes) {
      std::memcpy(out + written, stage, staged);
      written += staged;
      staged = 0;
    }
  }
  if (staged > 0) std::memcpy(out + written, stage, staged);
  *line_length = line;
  return written + staged;
}
