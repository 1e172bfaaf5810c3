// Header lines the user adds with -header "Name: value".
#pragma once

#include <string>
#include <string_view>

// A header line the user adds (-header).
struct HeaderField {
  std::string name;
  std::string value;
};

// Reads "Name: value" into *field (the value without the blanks after the
// colon). The name must be a field name (printable ASCII without ":"), not
// one that quib writes itself (Reply-To only when from_given is false), and
// the value must hold no CR, LF or NUL; a Message-ID must be valid. Returns
// the empty text, or why the line is refused.
std::string check_header_option(std::string_view text, bool from_given, HeaderField* field);
