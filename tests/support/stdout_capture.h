// What the code under test writes to standard output, caught where the
// mailer writes it: descriptor 1 goes to a temporary file while a capture
// lives. Output not taken is written out at the end, so that a failing
// test's messages are not lost.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    saved_ = dup(1);
    std::FILE* file = std::tmpfile();
    file_ = dup(fileno(file));
    std::fclose(file);
    dup2(file_, 1);
  }
  ~StdoutCapture() {
    const std::string rest = take();
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    close(file_);
    if (!rest.empty()) std::fwrite(rest.data(), 1, rest.size(), stdout);
  }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  // Everything written since the last take.
  std::string take() {
    std::fflush(stdout);
    std::string text;
    char block[4096];
    lseek(file_, 0, SEEK_SET);
    for (ssize_t got; (got = read(file_, block, sizeof block)) > 0;) {
      text.append(block, static_cast<std::size_t>(got));
    }
    if (ftruncate(file_, 0) != 0) text += "<capture could not be emptied>";
    lseek(file_, 0, SEEK_SET);
    return text;
  }

 private:
  int saved_ = -1;
  int file_ = -1;
};
