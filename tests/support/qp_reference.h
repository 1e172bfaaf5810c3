// A plain quoted-printable encoder, one byte at a time, written from the
// rules alone: the reference the product's bulk encoder is held to.
// A CR gives nothing; an LF gives CR LF and starts the line again; bytes 33
// to 60 and 62 to 126 stay (the line grows by 1); every other byte becomes
// "=XX" with upper-case digits (by 3); once a line holds more than 71
// characters the soft break "=\r\n" follows and the line starts again.
#pragma once

#include <string>

inline std::string qp_reference_piece(unsigned char byte, int* line_length) {
  if (byte == '\r') return "";
  if (byte == '\n') {
    *line_length = 0;
    return "\r\n";
  }
  std::string piece;
  if (byte >= 33 && byte <= 126 && byte != '=') {
    piece = std::string(1, static_cast<char>(byte));
  } else {
    const char* digits = "0123456789ABCDEF";
    piece = {'=', digits[byte >> 4], digits[byte & 15]};
  }
  *line_length += static_cast<int>(piece.size());
  if (*line_length > 71) {
    piece += "=\r\n";
    *line_length = 0;
  }
  return piece;
}

inline std::string qp_reference(const std::string& body) {
  std::string out;
  int line_length = 0;
  for (unsigned char byte : body) out += qp_reference_piece(byte, &line_length);
  return out;
}
