// Header lines the user adds.
#include "message/header_fields.h"

#include "common/ascii.h"
#include "message/message_id.h"

namespace {

// The fields that quib writes itself; "Content-" stands for all of its kind.
const char* const kOwnFields[] = {"Date", "From",    "Sender",       "Reply-To", "To",
                                  "Cc",   "Subject", "MIME-Version", "X-Mailer"};
const char kContentPrefix[] = "Content-";

bool is_own_field(std::string_view name, bool from_given) {
  if (starts_with_nocase(name, kContentPrefix)) return true;
  for (const char* own : kOwnFields) {
    if (equal_nocase(name, own)) return from_given || !equal_nocase(own, "Reply-To");
  }
  return false;
}

}  // namespace

std::string check_header_option(std::string_view text, bool from_given, HeaderField* field) {
  const std::size_t colon = text.find(':');
  const std::string_view name = text.substr(0, colon);
  if (colon == std::string_view::npos || name.empty()) return "no field name before a colon";
  for (char c : name) {
    if (c < 33 || c > 126) return "the field name holds a blank or a character outside ASCII";
  }
  std::string_view value = text.substr(colon + 1);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
    return "the value holds a line break (CR or LF) or a NUL";
  }
  if (is_own_field(name, from_given)) return "quib writes " + std::string(name) + " itself";
  if (equal_nocase(name, "Message-ID") && !valid_message_id(value)) {
    return "not a valid Message-ID (<left@right>)";
  }
  field->name = std::string(name);
  field->value = std::string(value);
  return "";
}
