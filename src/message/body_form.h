// Whether a body read as plain text goes out as it is or quoted-printable.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// RFC 5321 4.5.3.1.6 and RFC 5322 2.1.1: a line of text holds at most 998
// octets, its CR LF not counted.
constexpr std::size_t kTextLineMost = 998;

// The length of the longest line; CR LF, a lone CR and a lone LF each end one.
std::size_t longest_line(std::string_view text);

// How a plain body (no -mime) goes out.
struct PlainBodyForm {
  bool encoded = false;     // quoted-printable
  std::string charset;      // to declare when -charset names none
  std::size_t longest = 0;  // its longest line
};

// Quoted-printable when charset (-charset, empty when none) is given and the
// body holds bytes above 127, or, unless the body writes its own header
// lines (own_header, -penguin), when a line passes kTextLineMost; declared
// then without -charset as us-ascii for 7-bit text, utf-8 for valid UTF-8,
// else ISO-8859-1.
PlainBodyForm plain_body_form(std::string_view body, const char* charset, bool own_header);
