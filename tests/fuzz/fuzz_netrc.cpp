// The netrc lookup. The input is split at its first two NULs into the
// file's text, the host and the user. Nothing is read past the text; and
// whenever host and user are plain tokens, an entry for them put first,
// ended by the next "machine", is the one found, whatever follows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "cli/login_secret.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// Text that stands as one netrc token.
bool is_plain_token(const std::string& text) {
  return !text.empty() && text[0] != '"' && text[0] != '#' &&
         text.find_first_of(" \t\r\n") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t first = input.find('\0');
  const std::size_t second = first == std::string::npos ? first : input.find('\0', first + 1);
  const std::string text = input.substr(0, first);
  const std::string host =
      first == std::string::npos ? "" : input.substr(first + 1, second - first - 1);
  const std::string user = second == std::string::npos ? "" : input.substr(second + 1);

  // A heap block of exactly the text's size, so that a read past it shows.
  std::unique_ptr<char[]> exact(new char[text.size() + 1]);
  std::memcpy(exact.get(), text.data(), text.size());
  Secret password;
  if (netrc_password(std::string_view(exact.get(), text.size()), host, user, &password)) {
    check(password.size() <= text.size());
  }
  if (is_plain_token(host) && is_plain_token(user)) {
    const std::string first_entry = "machine " + host + " login " + user + " password p-1 machine ";
    check(netrc_password(first_entry + text, host, user, &password) && password.view() == "p-1");
  }
  return 0;
}
