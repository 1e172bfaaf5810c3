// -progress: one line on standard error's terminal while a large message
// text goes out, as downloaders show it.
#pragma once

#include <cstdint>
#include <string>

#include "quib/text_source.h"

// Passes the text of `inner` through, and, when shown, redraws the line
// "<sent> of <total> <percent> <rate> <time> left" at most ten times a second
// and clears it at the text's end or on destruction. Shown with -progress
// only, without -debug, when standard error is a terminal and the text
// (total bytes) is larger than 8 MiB.
class ProgressLine : public TextSource {
 public:
  ProgressLine(TextSource* inner, std::uint64_t total);
  ~ProgressLine() override;
  int next(const char** bytes, std::size_t* length) override;

 private:
  void clear();
  TextSource* inner_;
  std::uint64_t total_;
  std::uint64_t sent_ = 0;
  bool shown_ = false;  // the line is wanted
  bool drawn_ = false;  // the line is on the terminal
  std::int64_t started_ms_ = 0;
  std::int64_t drawn_ms_ = 0;
};

// The line's text for sent of total bytes after elapsed_ms.
std::string progress_text(std::uint64_t sent, std::uint64_t total, std::int64_t elapsed_ms);
