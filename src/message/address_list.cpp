// Address lists: cleaning typed lists and building the envelope list.
#include "message/address_list.h"

#include <cstring>

namespace {

// Past the next `closing` after position `at` (which holds the opening
// character), or the end of the text when nothing closes it.
std::size_t skip_stretch(const char* source, std::size_t at, std::size_t length, char closing) {
  const void* found = std::memchr(source + at + 1, closing, length - at - 1);
  if (found == nullptr) return length;
  return static_cast<std::size_t>(static_cast<const char*>(found) - source) + 1;
}

}  // namespace

std::string clean_address_list(const char* source) {
  const std::size_t length = std::strlen(source);
  std::string cleaned;
  cleaned.reserve(length);
  std::size_t at = 0;
  while (at < length) {
    while (at < length && source[at] == ' ') ++at;
    if (at < length && source[at] == '(') at = skip_stretch(source, at, length, ')');
    if (at < length && source[at] == '\'') at = skip_stretch(source, at, length, '\'');
    // A stretch that reached the end leaves nothing more to copy.
    if (at >= length) break;
    cleaned += source[at];
    ++at;
  }
  return cleaned;
}

void build_recipient_list(MailerState& state) {
  std::string list = clean_address_list(state.to_list);
  const char* const appended[] = {state.cc_list, state.bcc_list};
  for (const char* typed : appended) {
    // The comma follows the typed list, even when it cleans to nothing.
    if (typed[0] == '\0') continue;
    list += ',';
    list += clean_address_list(typed);
  }
  state.recipients = list;
}
