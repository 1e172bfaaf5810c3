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

// Past the quoted string that opens at `at`, backslash escapes included.
std::size_t skip_quoted(const char* source, std::size_t at, std::size_t length) {
  for (++at; at < length && source[at] != '"'; ++at) {
    if (source[at] == '\\' && at + 1 < length) ++at;
  }
  return at < length ? at + 1 : length;
}

// One element of the list as RCPT takes it.
std::string envelope_element(const std::string& element, std::size_t open, std::size_t close) {
  if (open == std::string::npos || close == std::string::npos) {
    return clean_address_list(element.c_str());
  }
  return clean_address_list(element.substr(open + 1, close - open - 1).c_str());
}

// The typed To, Cc and Bcc lists each through clean, joined by commas. The
// comma follows a typed list, even when it cleans to nothing.
std::string joined_lists(const MailerState& state, std::string (*clean)(const char*)) {
  std::string list = clean(state.to_list);
  for (const char* typed : {state.cc_list, state.bcc_list}) {
    if (typed[0] == '\0') continue;
    list += ',';
    list += clean(typed);
  }
  return list;
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

std::string envelope_addresses(const char* typed) {
  const std::size_t length = std::strlen(typed);
  std::string joined;
  std::size_t begin = 0;                  // where the element starts
  std::size_t open = std::string::npos;   // its first "<", from begin
  std::size_t close = std::string::npos;  // and the ">" after it
  // The passes of the cleaning, so that the commas split at are the ones it
  // copies; quoted strings and angle brackets are passed over whole.
  for (std::size_t at = 0;;) {
    while (at < length && typed[at] == ' ') ++at;
    if (at < length && typed[at] == '(') at = skip_stretch(typed, at, length, ')');
    if (at < length && typed[at] == '\'') at = skip_stretch(typed, at, length, '\'');
    if (at >= length || typed[at] == ',') {
      const std::size_t end = at < length ? at : length;
      if (begin > 0) joined += ',';
      joined += envelope_element(std::string(typed + begin, end - begin), open, close);
      if (at >= length) return joined;
      begin = ++at;
      open = close = std::string::npos;
    } else if (typed[at] == '"') {
      at = skip_quoted(typed, at, length);
    } else if (typed[at] == '<' && open == std::string::npos) {
      open = at - begin;
      at = skip_stretch(typed, at, length, '>');
      if (typed[at - 1] == '>' && at - 1 > begin + open) close = at - 1 - begin;
    } else {
      ++at;
    }
  }
}

std::string build_envelope_list(const MailerState& state) {
  return joined_lists(state, envelope_addresses);
}

void build_recipient_list(MailerState& state) {
  state.recipients = joined_lists(state, clean_address_list);
}
