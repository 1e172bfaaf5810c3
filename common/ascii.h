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
