// The ESMTP extensions the dialogue uses beyond the login.
#include "smtp/esmtp.h"

#include <cstdio>

#include "common/ascii.h"

namespace {

std::string upper_text(std::string_view text) {
  std::string out;
  for (char c : text) out += ascii_upper(c);
  return out;
}

struct ExtensionRow {
  const char* keyword;
  unsigned bit;
};

const ExtensionRow kExtensions[] = {
    {"DSN", kOffersDsn},
    {"8BITMIME", kOffers8BitMime},
    {"SMTPUTF8", kOffersSmtpUtf8},
};

const char* const kNotifyWords[] = {"SUCCESS", "FAILURE", "DELAY"};

}  // namespace

unsigned extension_named(std::string_view line) {
  if (line.size() < 5) return 0;
  const std::string keyword = upper_text(line.substr(4, line.find(' ', 4) - 4));
  for (const ExtensionRow& row : kExtensions) {
    if (keyword == row.keyword) return row.bit;
  }
  return 0;
}

unsigned offered_extensions(const std::vector<std::string>& ehlo_lines) {
  unsigned offers = 0;
  for (std::size_t i = 1; i < ehlo_lines.size(); ++i) offers |= extension_named(ehlo_lines[i]);
  return offers;
}

bool is_international(std::string_view address) {
  for (char c : address) {
    if (static_cast<unsigned char>(c) > 127) return true;
  }
  return false;
}

std::string dsn_notify(std::string_view typed) {
  const std::string value = upper_text(typed);
  if (value == "NEVER") return value;
  std::string notify;
  unsigned seen = 0;
  for (std::size_t begin = 0; begin <= value.size();) {
    std::size_t end = value.find(',', begin);
    if (end == std::string::npos) end = value.size();
    const std::string word = value.substr(begin, end - begin);
    unsigned bit = 0;
    for (unsigned i = 0; i < 3; ++i) {
      if (word == kNotifyWords[i]) bit = 1u << i;
    }
    if (bit == 0 || (seen & bit) != 0) return "";
    seen |= bit;
    notify += (notify.empty() ? "" : ",") + word;
    begin = end + 1;
  }
  return notify;
}

std::string xtext(std::string_view text) {
  std::string out;
  for (char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte >= 33 && byte <= 126 && c != '+' && c != '=') {
      out += c;
    } else {
      char escape[4];
      std::snprintf(escape, sizeof escape, "+%02X", byte);
      out += escape;
    }
  }
  return out;
}

std::string_view envid_of(std::string_view message_id) {
  const std::size_t at = message_id.find('@');
  if (message_id.size() < 2 || at == std::string_view::npos) return std::string_view();
  return message_id.substr(1, at - 1);
}

std::string mail_parameters(bool eight_bit_body, bool international, bool dsn,
                            std::string_view envid) {
  std::string parameters;
  if (eight_bit_body) parameters += " BODY=8BITMIME";
  if (international) parameters += " SMTPUTF8";
  if (dsn) parameters += " RET=HDRS";
  if (dsn && !envid.empty()) parameters += " ENVID=" + xtext(envid);
  return parameters;
}
