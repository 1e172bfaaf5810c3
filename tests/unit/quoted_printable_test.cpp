// Quoted-printable body encoding: single bytes, whole bodies, bulk encoding.
#include "message/quoted_printable.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "support/qp_reference.h"

namespace {

// The reference, one byte at a time, carrying the line length.
std::string encode_per_byte(const std::string& body, int* line_length) {
  std::string out;
  for (char c : body) out += qp_reference_piece(static_cast<unsigned char>(c), line_length);
  return out;
}

std::string encode_per_byte(const std::string& body) { return qp_reference(body); }

std::string encode_bulk(const std::string& body, int* line_length) {
  std::string out(body.size() * 6 + 8, '\0');
  const std::uint64_t written = qp_encode_buffer(body.data(), body.size(), line_length, &out[0]);
  out.resize(written);
  return out;
}

int hex_value(char c) {
  const char* digits = "0123456789ABCDEF";  // upper case only
  const char* found = std::strchr(digits, c);
  return (c != '\0' && found != nullptr) ? static_cast<int>(found - digits) : -1;
}

// A strict decoder: "=" must start a triple or a soft break; CR only in CR LF.
bool decode(const std::string& encoded, std::string* body) {
  body->clear();
  for (std::size_t at = 0; at < encoded.size(); ++at) {
    const char c = encoded[at];
    if (c == '=') {
      if (encoded.compare(at, 3, "=\r\n") == 0) {
        at += 2;
        continue;
      }
      if (at + 2 >= encoded.size()) return false;
      const int high = hex_value(encoded[at + 1]);
      const int low = hex_value(encoded[at + 2]);
      if (high < 0 || low < 0) return false;
      *body += static_cast<char>(high * 16 + low);
      at += 2;
    } else if (c == '\r') {
      if (encoded.compare(at, 2, "\r\n") != 0) return false;
      *body += "\r\n";
      ++at;
    } else if (c < 33 || c > 126) {
      return false;
    } else {
      *body += c;
    }
  }
  return true;
}

// What the body should come back as: every CR dropped, every LF as CR LF.
std::string expected_decoding(const std::string& body) {
  std::string out;
  for (char c : body) {
    if (c == '\n') {
      out += "\r\n";
    } else if (c != '\r') {
      out += c;
    }
  }
  return out;
}

std::string random_bytes(std::mt19937* random, std::size_t size, int flavour) {
  std::string body(size, '\0');
  for (char& c : body) {
    const unsigned value = (*random)() % 256;
    // Flavour 1: mostly text with line ends; flavour 0: any byte.
    c = static_cast<char>(flavour == 1 && value < 200 ? "ab =\t\r\n"[value % 7] : value);
  }
  return body;
}

struct ByteRow {
  int byte;
  int line_before;
  const char* piece;
  int line_after;
};

// clang-format off
const ByteRow kByteRows[] = {
    {13, 5, "", 5},
    {13, 71, "", 71},
    {10, 40, "\r\n", 0},
    {10, 71, "\r\n", 0},
    {0, 0, "=00", 3},
    {9, 0, "=09", 3},
    {32, 0, "=20", 3},
    {61, 0, "=3D", 3},
    {127, 0, "=7F", 3},
    {255, 0, "=FF", 3},
    {128, 0, "=80", 3},
    {171, 0, "=AB", 3},
    {33, 0, "!", 1},
    {60, 0, "<", 1},
    {62, 0, ">", 1},
    {126, 0, "~", 1},
    {'a', 70, "a", 71},
    {'a', 71, "a=\r\n", 0},
    {'a', 68, "a", 69},
    {' ', 68, "=20", 71},
    {' ', 69, "=20=\r\n", 0},
    {' ', 71, "=20=\r\n", 0},
};
// clang-format on

TEST(QpEncode, ByteTable) {
  for (const ByteRow& row : kByteRows) {
    int line_length = row.line_before;
    const std::string byte(1, static_cast<char>(row.byte));
    EXPECT_EQ(encode_bulk(byte, &line_length), row.piece)
        << "byte " << row.byte << " from " << row.line_before;
    EXPECT_EQ(line_length, row.line_after) << "byte " << row.byte;
  }
}

TEST(QpEncode, EveryByteEncodedOrKeptAsTheRulesAllow) {
  for (int value = 0; value < 256; ++value) {
    if (value == '\r' || value == '\n') continue;
    int line_length = 0;
    const std::string piece = encode_bulk(std::string(1, static_cast<char>(value)), &line_length);
    const bool literal = value >= 33 && value <= 126 && value != '=';
    EXPECT_EQ(piece.size(), literal ? 1u : 3u) << value;
  }
}

struct BodyRow {
  const char* name;
  std::string body;
  std::string encoded;
};

std::string repeat(char c, std::size_t n) { return std::string(n, c); }

TEST(QpEncode, BodyTable) {
  const BodyRow rows[] = {
      {"71 then LF", repeat('a', 71) + "\n", repeat('a', 71) + "\r\n"},
      {"72 then LF", repeat('a', 72) + "\n", repeat('a', 72) + "=\r\n\r\n"},
      {"70 then blank", repeat('a', 70) + " b", repeat('a', 70) + "=20=\r\nb"},
      {"24 triples", repeat('\t', 25),
       [] {
         std::string s;
         for (int i = 0; i < 24; ++i) s += "=09";
         return s + "=\r\n=09";
       }()},
      {"last line of 72, no LF", repeat('z', 72), repeat('z', 72) + "=\r\n"},
      {"CR CR LF", "a\r\r\nb", "a\r\nb"},
      {"lone CR joins", "a\rb", "ab"},
      {"CRLF and LF alike", "x\r\ny\n", "x\r\ny\r\n"},
      {"CR does not count", repeat('a', 71) + "\r" + "\r" + "\n", repeat('a', 71) + "\r\n"},
      {"NUL DEL tilde bang", std::string("\0\x7f~!", 4), "=00=7F~!"},
      {"trailing blank", "end \n", "end=20\r\n"},
      {"empty", "", ""},
  };
  for (const BodyRow& row : rows) {
    EXPECT_EQ(encode_per_byte(row.body), row.encoded) << row.name;
    int line_length = 0;
    EXPECT_EQ(encode_bulk(row.body, &line_length), row.encoded) << row.name;
    EXPECT_EQ(qp_encoded_length(row.body.data(), row.body.size()), row.encoded.size()) << row.name;
  }
}

TEST(QpEncodeProperties, RandomBodiesDecodeBackAndKeepLinesShort) {
  std::mt19937 random(2045);
  for (int round = 0; round < 400; ++round) {
    const std::string body = random_bytes(&random, random() % 3000, round % 2);
    const std::string encoded = encode_per_byte(body);
    std::string decoded;
    ASSERT_TRUE(decode(encoded, &decoded)) << "round " << round;
    ASSERT_EQ(decoded, expected_decoding(body)) << "round " << round;
    // No line passes 75 characters, its soft-break "=" included.
    std::size_t start = 0;
    for (std::size_t end; (end = encoded.find("\r\n", start)) != std::string::npos;
         start = end + 2) {
      ASSERT_LE(end - start, 75u) << "round " << round;
      // No line ends in white space.
      if (end > start) {
        ASSERT_NE(encoded[end - 1], ' ');
      }
    }
    ASSERT_LE(encoded.size() - start, 75u);
  }
}

TEST(QpEncodeProperties, LengthBulkAndPerByteAgree) {
  std::mt19937 random(1996);
  for (int round = 0; round < 60; ++round) {
    // Sizes past the bulk encoder's internal staging, some far past.
    const std::size_t size = round < 50 ? random() % 40000 : 200000 + random() % 1000;
    const std::string body = random_bytes(&random, size, round % 2);
    int per_byte_line = 0;
    const std::string per_byte = encode_per_byte(body, &per_byte_line);
    ASSERT_EQ(qp_encoded_length(body.data(), body.size()), per_byte.size()) << round;
    ASSERT_LE(per_byte.size(), qp_encoded_length_bound(body.size())) << round;

    // Bulk in uneven chunks, the line length carried between calls.
    int bulk_line = 0;
    std::string bulk;
    for (std::size_t at = 0; at < body.size();) {
      const std::size_t chunk = std::min<std::size_t>(body.size() - at, 1 + random() % 20000);
      bulk += encode_bulk(body.substr(at, chunk), &bulk_line);
      at += chunk;
    }
    ASSERT_EQ(bulk, per_byte) << round;
    ASSERT_EQ(bulk_line, per_byte_line) << round;
  }
}

TEST(QpEncodeBuffer, WritesNoMoreThanItReturns) {
  const std::string body = repeat('a', 100) + "\t\r\n=" + repeat('\xff', 30);
  const std::uint64_t exact = qp_encoded_length(body.data(), body.size());
  std::string out(exact + 16, '#');
  int line_length = 0;
  EXPECT_EQ(qp_encode_buffer(body.data(), body.size(), &line_length, &out[0]), exact);
  EXPECT_EQ(out.substr(exact), repeat('#', 16));
  EXPECT_EQ(out.substr(0, exact), encode_per_byte(body));
}

// The room reserved before a body is read: a body of triples fills it exactly.
TEST(QpEncodeBuffer, BoundIsReachedByABodyOfTriples) {
  for (std::size_t size : {1, 23, 24, 25, 47, 48, 1000}) {
    EXPECT_EQ(encode_per_byte(repeat('=', size)).size(), qp_encoded_length_bound(size)) << size;
  }
}

}  // namespace
