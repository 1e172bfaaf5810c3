// Quoted-printable encoding of the body, one byte at a time or in bulk.
#pragma once

#include <cstdint>

// An encoder piece holds at most six characters and the NUL.
constexpr int kQpPieceBytes = 7;

// Encodes one body byte into piece (NUL-terminated, overwritten) and updates
// the running count of characters on the current output line: a CR gives
// nothing, an LF gives CR LF, bytes 33 to 60 and 62 to 126 stay as they are,
// every other byte becomes "=XX" (upper-case digits); once the count exceeds
// 71 the soft break "=\r\n" follows and the count starts again from 0.
void qp_encode_char(unsigned char byte, int* line_length, char piece[kQpPieceBytes]);

// The exact count of characters that encoding the size bytes of body, one
// qp_encode_char call per byte from a line length of 0, produces.
std::uint64_t qp_encoded_length(const char* body, std::uint64_t size);

// Encodes size bytes of body into out, exactly the concatenation of the
// pieces that one qp_encode_char call per byte would give, carrying
// *line_length as those calls do. out needs room for the count returned and
// nothing more (qp_encoded_length gives it when *line_length starts at 0);
// no NUL is written. Returns the count of characters written.
std::uint64_t qp_encode_buffer(const char* body, std::uint64_t size, int* line_length, char* out);
