// Quoted-printable encoding of the body, one byte at a time.
#pragma once

#include <cstdint>

// An encoder piece holds at most six characters and the NUL.
constexpr int kQpPieceBytes = 7;

// Encodes one body byte into piece (NUL-terminated, overwritten) and updates
// the running count of characters on the current output line.
void qp_encode_char(unsigned char byte, int* line_length, char piece[kQpPieceBytes]);

// The exact count of characters that encoding the size bytes of body, one
// qp_encode_char call per byte from a line length of 0, produces.
std::uint64_t qp_encoded_length(const char* body, std::uint64_t size);
