// Header values in a declared character set (RFC 2047): text that holds
// bytes above 127 goes out as encoded words, and the field is folded so that
// no line passes 78 characters.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// True when the text holds a byte above 127.
bool has_eight_bit(std::string_view text);

// True when the bytes are well-formed UTF-8.
bool valid_utf8(std::string_view text);

// Encoded words "=?charset?Q?...?=" (or "?B?", whichever is shorter for the
// whole text) that together decode to text: the first at most first_max
// characters long, the others at most max (never more than 75); each holds
// whole characters, a UTF-8 sequence never being split when the charset is
// UTF-8, and every byte counting as one character otherwise.
std::vector<std::string> encode_words(std::string_view text, std::string_view charset,
                                      std::size_t first_max, std::size_t max);

// How a field's value is read.
enum class FieldKind {
  kText,       // unstructured (Subject): the whole value in encoded words
  kAddresses,  // From, To, Cc: only names and comments; addresses as typed
};

// Appends "<name>: <value>\r\n" with the value in encoded words of charset
// as kind says, folded before a blank wherever a line would pass 78
// characters (an address longer than a line stays whole). A run of line
// breaks in the value counts as one blank; one at its end is dropped.
void append_encoded_field(std::string* block, const char* name, std::string_view value,
                          std::string_view charset, FieldKind kind);
