// The EHLO capability list and what the login makes of a reply. The input
// is split at LF into the reply's lines. Every mechanism offered is a SASL
// name (1 to 20 of A-Z 0-9 - _), offered once and found, in any case, on an
// AUTH line after the first; the one chosen is offered; a refusal is one
// line of printable ASCII with at most 200 characters of the reply; and
// base64 gives back what it encoded.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "message/base64.h"
#include "smtp/sasl.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

std::string upper(std::string text) {
  for (char& c : text) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> lines;
  std::size_t begin = 0;
  for (std::size_t end; (end = input.find('\n', begin)) != std::string::npos; begin = end + 1) {
    lines.push_back(input.substr(begin, end - begin));
  }
  lines.push_back(input.substr(begin));

  const std::vector<std::string> offered = offered_mechanisms(lines);
  for (std::size_t i = 0; i < offered.size(); ++i) {
    const std::string& name = offered[i];
    check(!name.empty() && name.size() <= 20);
    for (char c : name)
      check((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_');
    for (std::size_t j = 0; j < i; ++j) check(offered[j] != name);
    bool found = false;
    for (std::size_t l = 1; l < lines.size() && !found; ++l) {
      const std::string line = upper(lines[l]);
      found = line.size() >= 9 && line.compare(4, 4, "AUTH") == 0 &&
              line.find(name, 8) != std::string::npos;
    }
    check(found);
  }
  for (SaslMechanism asked : {SaslMechanism::kNone, SaslMechanism::kPlain, SaslMechanism::kLogin,
                              SaslMechanism::kXoauth2, SaslMechanism::kOauthbearer}) {
    const SaslMechanism chosen = choose_mechanism(offered, asked);
    if (chosen == SaslMechanism::kNone) continue;
    check(asked == SaslMechanism::kNone || chosen == asked);
    bool is_offered = false;
    for (const std::string& name : offered) is_offered |= name == sasl_mechanism_text(chosen);
    check(is_offered);
  }

  const std::string refusal = login_refusal("AUTH PLAIN", lines, "");
  check(refusal.size() <= std::string("Login failed at AUTH PLAIN: ").size() + 200);
  for (char c : refusal) check(c >= ' ' && c <= '~');

  std::string decoded;
  check(base64_decode(base64_encode(input), &decoded) && decoded == input);
  if (base64_decode(input, &decoded)) check(base64_encode(decoded).size() == input.size());
  return 0;
}
