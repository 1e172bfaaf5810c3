// Base64 (RFC 4648 section 4), the one encoder and decoder: in one piece for
// the login, and for attachments (RFC 2045, 6.8) written as they are read:
// lines of 76 characters (57 bytes each) separated by CR LF; the last line
// has no line end of its own, so that the text after it decides what follows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Base64 with padding, in one line.
std::string base64_encode(std::string_view bytes);
// False when text is not base64 (padding, length and alphabet checked).
bool base64_decode(std::string_view text, std::string* bytes);

// Where an encoding stands between two blocks of input.
struct Base64Stream {
  unsigned char held[3] = {};  // bytes of a group not yet complete
  int held_count = 0;
  int column = 0;  // characters on the current output line
};

// The exact count of characters that encoding size bytes gives, line ends
// included; 0 for 0 bytes, and 0 when the count would overflow.
std::uint64_t base64_encoded_length(std::uint64_t size);

// Encodes size more bytes of data into out; returns the count written. What
// a stream writes over all its calls, base64_encode_end included, is
// exactly base64_encoded_length of all its bytes.
std::size_t base64_encode_more(Base64Stream* stream, const char* data, std::size_t size, char* out);

// Writes the last group, padded with "=" (at most 6 characters with a line
// end before it); returns the count written.
std::size_t base64_encode_end(Base64Stream* stream, char* out);
