// The Message-ID field.
#include "message/message_id.h"

#include <cstring>

namespace {

// atext of RFC 5322 3.2.3.
bool is_atext(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         (c != '\0' && std::strchr("!#$%&'*+-/=?^_`{|}~", c) != nullptr);
}

bool is_dot_atom_text(std::string_view text) {
  if (text.empty() || text.front() == '.' || text.back() == '.') return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '.' ? text[i + 1] == '.' : !is_atext(text[i])) return false;
  }
  return true;
}

// "[" dtext "]": printable ASCII but "[", "]" and "\".
bool is_literal(std::string_view text) {
  if (text.size() < 2 || text.front() != '[' || text.back() != ']') return false;
  for (char c : text.substr(1, text.size() - 2)) {
    if (c < 33 || c > 126 || c == '[' || c == ']' || c == '\\') return false;
  }
  return true;
}

// The labels of a host name as a dot-atom: other characters dropped, empty
// labels with them.
std::string domain_of(std::string_view name) {
  std::string domain;
  for (char c : name) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '.';
    if (!keep || (c == '.' && (domain.empty() || domain.back() == '.'))) continue;
    domain += c;
  }
  while (!domain.empty() && domain.back() == '.') domain.pop_back();
  return domain;
}

}  // namespace

std::string make_message_id(std::int64_t seconds, const unsigned char* random,
                            std::string_view host, std::string_view sender) {
  std::string domain = domain_of(host);
  if (domain.find('.') == std::string::npos) {
    const std::size_t at = sender.rfind('@');
    const std::string own = at == std::string_view::npos ? "" : domain_of(sender.substr(at + 1));
    if (!own.empty()) domain = own;
  }
  if (domain.empty()) domain = "localhost";
  static const char kHex[] = "0123456789abcdef";
  std::string id = "<" + std::to_string(seconds) + ".";
  for (std::size_t i = 0; i < kMessageIdRandomBytes; ++i) {
    id += kHex[random[i] >> 4];
    id += kHex[random[i] & 15];
  }
  return id + "@" + domain + ">";
}

bool valid_message_id(std::string_view id) {
  if (id.size() < 5 || id.front() != '<' || id.back() != '>') return false;
  const std::string_view inner = id.substr(1, id.size() - 2);
  const std::size_t at = inner.find('@');
  if (at == std::string_view::npos) return false;
  const std::string_view right = inner.substr(at + 1);
  return is_dot_atom_text(inner.substr(0, at)) && (is_dot_atom_text(right) || is_literal(right));
}

bool wants_message_id(const MailerState& state, bool delivery_options) {
  if (state.header_only_body) return false;
  return state.want_message_id || state.user != nullptr || !state.attachments.empty() ||
         state.html || state.charset[0] != '\0' || state.queue || state.oauth_file != nullptr ||
         state.pass_command != nullptr || !state.headers.empty() || !state.embeds.empty() ||
         delivery_options;
}
