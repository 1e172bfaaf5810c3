// Quoted-printable encoding of the body. Byte by byte: a CR gives nothing,
// an LF gives CR LF and starts the line again, bytes 33 to 60 and 62 to 126
// stay as they are, every other byte becomes "=XX" (upper-case digits); once
// a line holds more than 71 characters the soft break "=\r\n" follows and
// the line starts again.
#pragma once

#include <cstdint>

// The exact count of characters that encoding the size bytes of body from
// the start of a line produces.
std::uint64_t qp_encoded_length(const char* body, std::uint64_t size);

// The most characters that encoding any size bytes can produce (every byte
// a triple, a soft break after every 24): room for encoding a body whose
// length is known before its bytes are. 0 when that count would overflow.
std::uint64_t qp_encoded_length_bound(std::uint64_t size);

// Encodes size bytes of body into out, *line_length being the count of
// characters already on the current output line (updated). out needs room
// for the count returned and nothing more (qp_encoded_length gives it when
// *line_length starts at 0); no NUL is written. Returns the count written.
std::uint64_t qp_encode_buffer(const char* body, std::uint64_t size, int* line_length, char* out);
