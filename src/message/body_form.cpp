// Whether a body read as plain text goes out as it is or quoted-printable.
#include "message/body_form.h"

#include <cstring>

#include "message/encoded_words.h"

std::size_t longest_line(std::string_view text) {
  std::size_t longest = 0;
  for (std::size_t begin = 0; begin < text.size();) {
    std::size_t end = text.find_first_of("\r\n", begin);
    if (end == std::string_view::npos) end = text.size();
    if (end - begin > longest) longest = end - begin;
    begin = end + 1;
  }
  return longest;
}

PlainBodyForm plain_body_form(std::string_view body, const char* charset, bool own_header) {
  PlainBodyForm form;
  const bool eight_bit = has_eight_bit(body);
  form.longest = longest_line(body);
  form.encoded = (charset[0] != '\0' && eight_bit) || (!own_header && form.longest > kTextLineMost);
  if (form.encoded && charset[0] == '\0') {
    form.charset = !eight_bit ? "us-ascii" : valid_utf8(body) ? "utf-8" : "ISO-8859-1";
  }
  return form;
}
