#include "queue/queue_entry.h"

#include <cstdio>

namespace {

const char kMagic[] = "quib-queue 1";

// Numbers stay well inside 64 bits: 18 digits at most.
constexpr std::size_t kNumberMostDigits = 18;

// The head's fields in their order: a number, a text, or the flag.
enum class Kind { kNumber, kText, kFlag };

struct Field {
  const char* name;
  Kind kind;
  std::int64_t QueueEntry::*number;
  std::string QueueEntry::*text;
};

const Field kFields[] = {
    {"created", Kind::kNumber, &QueueEntry::created, nullptr},
    {"attempts", Kind::kNumber, &QueueEntry::attempts, nullptr},
    {"next", Kind::kNumber, &QueueEntry::next_attempt, nullptr},
    {"reason", Kind::kText, nullptr, &QueueEntry::reason},
    {"server", Kind::kText, nullptr, &QueueEntry::server},
    {"sender", Kind::kText, nullptr, &QueueEntry::sender},
    {"recipients", Kind::kText, nullptr, &QueueEntry::recipients},
    {"login", Kind::kFlag, nullptr, nullptr},
    {"user", Kind::kText, nullptr, &QueueEntry::user},
    {"auth", Kind::kText, nullptr, &QueueEntry::auth},
    {"passcmd", Kind::kText, nullptr, &QueueEntry::passcmd},
    {"oauth", Kind::kText, nullptr, &QueueEntry::oauth},
    {"options", Kind::kText, nullptr, &QueueEntry::options},
};

bool escaped(unsigned char c) { return c < 32 || c == 127 || c == '%'; }

std::string escape(const std::string& value) {
  std::string out;
  for (unsigned char c : value) {
    if (!escaped(c)) {
      out += static_cast<char>(c);
      continue;
    }
    char hex[4];
    std::snprintf(hex, sizeof hex, "%%%02X", c);
    out += hex;
  }
  return out;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The value as written by escape(): every escaped byte as %XX (upper case),
// nothing else escaped.
bool unescape(std::string_view text, std::string* value) {
  value->clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (escaped(static_cast<unsigned char>(text[i])) && text[i] != '%') return false;
    if (text[i] != '%') {
      *value += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = hex_digit(text[i + 1]);
    const int low = hex_digit(text[i + 2]);
    if (high < 0 || low < 0 || !escaped(static_cast<unsigned char>(high * 16 + low))) return false;
    *value += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

bool parse_number(std::string_view text, std::uint64_t* number) {
  if (text.empty() || text.size() > kNumberMostDigits) return false;
  if (text.size() > 1 && text[0] == '0') return false;
  *number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    *number = *number * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return true;
}

// Takes the next line ("name value") from *rest; false when there is no
// whole line or it is not the named one.
bool take_line(std::string_view* rest, const char* name, std::string_view* value) {
  const std::size_t end = rest->find('\n');
  if (end == std::string_view::npos) return false;
  const std::string_view line = rest->substr(0, end);
  rest->remove_prefix(end + 1);
  const std::string_view key(name);
  if (line.size() < key.size() + 1 || line.substr(0, key.size()) != key || line[key.size()] != ' ')
    return false;
  *value = line.substr(key.size() + 1);
  return true;
}

int refuse(std::string* why, std::string text) {
  *why = std::move(text);
  return -1;
}

}  // namespace

std::string format_entry_head(const QueueEntry& entry) {
  std::string head = std::string(kMagic) + "\n";
  for (const Field& field : kFields) {
    head += field.name;
    head += ' ';
    if (field.kind == Kind::kNumber) head += std::to_string(entry.*field.number);
    if (field.kind == Kind::kText) head += escape(entry.*field.text);
    if (field.kind == Kind::kFlag) head += entry.login ? "1" : "0";
    head += '\n';
  }
  return head + "bytes " + std::to_string(entry.message_bytes) + "\n\n";
}

int parse_entry_head(std::string_view bytes, std::uint64_t file_size, QueueEntry* entry,
                     std::size_t* head_bytes, std::string* why) {
  if (bytes.size() > kEntryHeadMostBytes) bytes = bytes.substr(0, kEntryHeadMostBytes);
  std::string_view rest = bytes;
  const std::size_t magic_end = rest.find('\n');
  if (magic_end == std::string_view::npos || rest.substr(0, magic_end) != kMagic) {
    return refuse(why, "not a queue entry of this version");
  }
  rest.remove_prefix(magic_end + 1);
  *entry = QueueEntry();
  std::string_view value;
  std::uint64_t number = 0;
  for (const Field& field : kFields) {
    if (!take_line(&rest, field.name, &value)) {
      return refuse(why, std::string("the line '") + field.name + "' is missing or garbled");
    }
    const bool good = field.kind == Kind::kText   ? unescape(value, &(entry->*field.text))
                      : field.kind == Kind::kFlag ? value == "0" || value == "1"
                                                  : parse_number(value, &number);
    if (!good) return refuse(why, std::string("the value of '") + field.name + "' is garbled");
    if (field.kind == Kind::kNumber) entry->*field.number = static_cast<std::int64_t>(number);
    if (field.kind == Kind::kFlag) entry->login = value == "1";
  }
  if (!take_line(&rest, "bytes", &value) || !parse_number(value, &entry->message_bytes)) {
    return refuse(why, "the line 'bytes' is missing or garbled");
  }
  if (rest.empty() || rest[0] != '\n')
    return refuse(why, "the head does not end with an empty line");
  *head_bytes = bytes.size() - rest.size() + 1;
  if (*head_bytes > file_size || file_size - *head_bytes != entry->message_bytes) {
    return refuse(why, "the file does not hold the " + std::to_string(entry->message_bytes) +
                           " bytes of its message (truncated or garbled)");
  }
  return 0;
}

std::int64_t retry_delay_seconds(std::int64_t failures, double jitter) {
  constexpr std::int64_t kFirstDelay = 60;
  constexpr std::int64_t kLongestDelay = 60 * 60;
  std::int64_t delay = kFirstDelay;
  for (std::int64_t i = 1; i < failures && delay < kLongestDelay; ++i) delay *= 2;
  if (delay > kLongestDelay) delay = kLongestDelay;
  if (jitter < 0) jitter = 0;
  if (jitter > 1) jitter = 1;
  return delay - static_cast<std::int64_t>(static_cast<double>(delay) * 0.2 * jitter);
}
