// Rules on ASCII text that quib and its socket library both follow, written
// once. Header-only: each binary compiles its own copy, and the library still
// builds and loads without quib. Only the 26 ASCII letters fold; every other
// byte stands as it is, whatever the locale says.
#pragma once

#include <cstring>
#include <string_view>

inline char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
inline char ascii_upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// True when a and b differ at most in the case of ASCII letters.
inline bool equal_nocase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

// True when text begins with prefix, but for the case of ASCII letters.
inline bool starts_with_nocase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equal_nocase(text.substr(0, prefix.size()), prefix);
}

// What a domain or an address literal may hold (letters, digits and
// "-._[]:"): all that a host name sent with HELO or EHLO may carry, so that
// it cannot end the command early.
inline bool is_host_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         (c != '\0' && std::strchr("-._[]:", c) != nullptr);
}

// True when name is not empty and every character is one of those above.
inline bool is_safe_host_name(std::string_view name) {
  for (char c : name) {
    if (!is_host_name_char(c)) return false;
  }
  return !name.empty();
}
