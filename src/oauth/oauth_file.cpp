#include "oauth/oauth_file.h"

#include <cstdlib>

namespace {

struct Key {
  const char* name;
  std::string OauthSettings::*field;  // null: expires_at or a secret
  Secret OauthSettings::*secret = nullptr;
};

const Key kKeys[] = {
    {"provider", &OauthSettings::provider},
    {"tenant", &OauthSettings::tenant},
    {"token_url", &OauthSettings::token_url},
    {"device_url", &OauthSettings::device_url},
    {"scope", &OauthSettings::scope},
    {"client_id", &OauthSettings::client_id},
    {"client_secret", nullptr, &OauthSettings::client_secret},
    {"certificate", &OauthSettings::certificate},
    {"service_account", &OauthSettings::service_account},
    {"refresh_token", nullptr, &OauthSettings::refresh_token},
    {"access_token", nullptr, &OauthSettings::access_token},
    {"expires_at", nullptr},
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

// One line of the text: where it starts and its length without the LF.
struct Line {
  std::size_t at;
  std::size_t length;
};

std::vector<Line> lines_of(std::string_view text) {
  std::vector<Line> lines;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back({at, end - at});
    at = end + 1;
  }
  return lines;
}

// The key of a "key = value" line and where its value starts; false for a
// blank line or a comment.
bool split_line(std::string_view line, std::string_view* key, std::string_view* value) {
  const std::string_view bare = trimmed(line);
  if (bare.empty() || bare.front() == '#') return false;
  const std::size_t equals = line.find('=');
  *key = trimmed(line.substr(0, equals == std::string_view::npos ? line.size() : equals));
  *value = equals == std::string_view::npos ? std::string_view() : trimmed(line.substr(equals + 1));
  return true;
}

bool parse_seconds(std::string_view text, long long* seconds) {
  if (text.empty() || text.size() > 18) return false;
  long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  *seconds = value;
  return true;
}

}  // namespace

int parse_oauth_file(std::string_view text, OauthSettings* settings, std::string* why) {
  const std::vector<Line> lines = lines_of(text);
  for (std::size_t number = 0; number < lines.size(); ++number) {
    std::string_view key;
    std::string_view value;
    if (!split_line(text.substr(lines[number].at, lines[number].length), &key, &value)) continue;
    const Key* known = nullptr;
    for (const Key& candidate : kKeys) {
      if (key == candidate.name) known = &candidate;
    }
    const int line = static_cast<int>(number) + 1;
    if (known == nullptr) {
      *why = "not a known key";
      return line;
    }
    if (text.substr(lines[number].at, lines[number].length).find('=') == std::string_view::npos) {
      *why = "no \"=\" after the key";
      return line;
    }
    if (known->secret != nullptr) {
      settings->*known->secret = Secret(value);
    } else if (known->field != nullptr) {
      settings->*known->field = std::string(value);
    } else if (!value.empty() && !parse_seconds(value, &settings->expires_at)) {
      *why = "expires_at is not a number of seconds";
      return line;
    }
  }
  return 0;
}

Secret rewrite_oauth_file(std::string_view text,
                          const std::vector<std::pair<std::string, std::string_view>>& values) {
  Secret out;
  std::vector<bool> done(values.size(), false);
  for (const Line& line : lines_of(text)) {
    const std::string_view whole = text.substr(line.at, line.length);
    std::string_view key;
    std::string_view value;
    std::size_t which = values.size();
    if (split_line(whole, &key, &value) && whole.find('=') != std::string_view::npos) {
      for (std::size_t i = 0; i < values.size(); ++i) {
        if (key == values[i].first) which = i;
      }
    }
    if (which == values.size()) {
      out.append(whole);
    } else {
      done[which] = true;
      const std::size_t equals = whole.find('=');
      std::size_t value_at = equals + 1;
      while (value_at < whole.size() && is_blank(whole[value_at])) ++value_at;
      const bool cr = !whole.empty() && whole.back() == '\r';
      out.append(whole.substr(0, value_at));
      if (value_at == equals + 1) out.append(' ');
      out.append(values[which].second);
      if (cr) out.append('\r');
    }
    if (line.at + line.length < text.size()) out.append('\n');
  }
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (done[i]) continue;
    if (!out.empty() && out.view().back() != '\n') out.append('\n');
    out.append(values[i].first + " = ");
    out.append(values[i].second);
    out.append('\n');
  }
  return out;
}
