// Address cleaning and the envelope list, against a plain model of the
// cleaning rules. The input is split at NUL bytes into the To, Cc and Bcc
// lists, each copied into a heap block of exactly its size, so that a read
// past a list's terminator is caught.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "message/address_list.h"
#include "quib/mailer_state.h"

namespace {

// One pass per copied character: a run of blanks, one comment, one quoted
// stretch, then one character; an unclosed comment or quote runs to the end.
std::string model_clean(const std::string& source) {
  const std::size_t length = source.size();
  std::string cleaned;
  std::size_t at = 0;
  while (at < length) {
    while (at < length && source[at] == ' ') ++at;
    const char openers[] = {'(', '\''};
    const char closers[] = {')', '\''};
    for (int kind = 0; kind < 2; ++kind) {
      if (at < length && source[at] == openers[kind]) {
        const std::size_t close = source.find(closers[kind], at + 1);
        at = close == std::string::npos ? length : close + 1;
      }
    }
    if (at >= length) break;
    cleaned += source[at++];
  }
  return cleaned;
}

std::unique_ptr<char[]> exact_copy(const std::string& text) {
  std::unique_ptr<char[]> copy(new char[text.size() + 1]);
  std::memcpy(copy.get(), text.c_str(), text.size() + 1);
  return copy;
}

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> lists(3);
  std::size_t which = 0;
  for (std::size_t at = 0; at < size; ++at) {
    if (data[at] == 0) {
      if (++which == lists.size()) break;
      continue;
    }
    lists[which] += static_cast<char>(data[at]);
  }

  std::unique_ptr<char[]> copies[3];
  for (int i = 0; i < 3; ++i) {
    copies[i] = exact_copy(lists[i]);
    const std::string cleaned = clean_address_list(copies[i].get());
    check(cleaned.size() <= lists[i].size());
    check(cleaned.find('\0') == std::string::npos);
    check(cleaned == model_clean(lists[i]));
  }

  MailerState state;
  state.to_list = copies[0].get();
  state.cc_list = copies[1].get();
  state.bcc_list = copies[2].get();
  build_recipient_list(state);
  std::string expected = model_clean(lists[0]);
  for (int i = 1; i < 3; ++i) {
    if (lists[i].empty()) continue;
    expected += ',';
    expected += model_clean(lists[i]);
  }
  check(state.recipients == expected);
  check(state.recipients.size() <= lists[0].size() + lists[1].size() + lists[2].size() + 2);
  return 0;
}
