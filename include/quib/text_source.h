// The message text as the transmitter takes it: a block at a time, pulled
// from whoever holds it (the composer, a queue entry). Shared by the code
// that writes the text and the code that sends it.
#pragma once

#include <cstddef>

class TextSource {
 public:
  virtual ~TextSource() = default;
  // The next block in *bytes and *length, valid until the next call: 1 with
  // a block, 0 at the end of the text, -1 when the rest cannot be had (the
  // source knows why). The first block holds the whole header block, its
  // blank line included, and no block but the last ends with a CR, so that
  // a line end is never cut in two.
  virtual int next(const char** bytes, std::size_t* length) = 0;
};

// A text already whole in memory, as one block.
class WholeText : public TextSource {
 public:
  WholeText(const char* bytes, std::size_t length) : bytes_(bytes), length_(length) {}
  int next(const char** bytes, std::size_t* length) override {
    if (given_) return 0;
    given_ = true;
    *bytes = bytes_;
    *length = length_;
    return 1;
  }

 private:
  const char* bytes_;
  std::size_t length_;
  bool given_ = false;
};
