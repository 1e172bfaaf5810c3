// A secret (a password, a token, a key, a line carrying one) in a buffer
// wiped when it ends, is cleared, assigned or moved from. Move-only, so no
// unwiped copy is made by accident; growing wipes the old buffer first.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Overwrites size bytes at data with zeros in a way the compiler keeps.
inline void wipe_bytes(void* data, std::size_t size) {
  volatile char* at = static_cast<volatile char*>(data);
  for (std::size_t i = 0; i < size; ++i) at[i] = '\0';
}

class Secret {
 public:
  Secret() = default;
  explicit Secret(std::string_view text) { append(text); }
  // Takes the text over; the caller's string is left empty and wiped.
  static Secret adopt(std::string* text) {
    Secret secret;
    secret.text_.swap(*text);
    wipe_string(text);
    return secret;
  }
  Secret(Secret&& other) noexcept { text_.swap(other.text_); }
  Secret& operator=(Secret&& other) noexcept {
    clear();  // a move onto itself leaves it empty
    text_.swap(other.text_);
    return *this;
  }
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
  ~Secret() { wipe_string(&text_); }

  void append(std::string_view more) {
    if (text_.size() + more.size() > text_.capacity()) {
      std::string larger;
      larger.reserve((text_.size() + more.size()) * 2);
      larger.append(text_);
      wipe_string(&text_);
      text_.swap(larger);
    }
    text_.append(more.data(), more.size());
  }
  void append(char c) { append(std::string_view(&c, 1)); }
  void clear() { wipe_string(&text_); }

  bool empty() const { return text_.empty(); }
  std::size_t size() const { return text_.size(); }
  std::string_view view() const { return text_; }
  const char* c_str() const { return text_.c_str(); }

 private:
  // Wipes the whole buffer, its capacity, and empties it.
  static void wipe_string(std::string* text) {
    text->resize(text->capacity());  // never reallocates: the whole buffer is the string's
    if (!text->empty()) wipe_bytes(&(*text)[0], text->size());
    text->clear();
  }

  std::string text_;
};
