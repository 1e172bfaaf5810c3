// The header block written ahead of the body.
#include "message/header_block.h"

#include <cstdio>
#include <cstring>

#include "common/ascii.h"
#include "message/encoded_words.h"
#include "message/header_fields.h"
#include "message/mime_parts.h"

namespace {

const char* const kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

const char* const kMimeVersion = "MIME-Version: 1.0\r\n";
// The charset -mime has always declared.
const char* const kMimeCharset = "ISO-8859-1";
const char* const kMailerLine = "X-Mailer: <WinNT's Quib ver 1.5>\r\n";

// "Date: Www, DD Mmm YYYY HH:MM:SS +HHMM\r\n" is 39 characters; the room for
// a year beyond four digits or out-of-range fields keeps snprintf from
// cutting anything a caller could hand in.
constexpr std::size_t kDateLineBytes = 128;

const char* name_or_blank(const char* const* table, int count, int index) {
  return (index >= 0 && index < count) ? table[index] : "???";
}

// RFC 5322 2.1.1: a header line holds at most 998 octets, its CR LF not
// counted.
constexpr std::size_t kHeaderLineMost = 998;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The last place in [from, to) where a line may be folded: before a blank
// that has something other than blanks ahead of it on its line, or (in an
// address list) after a comma, when no such blank is there. Returns the
// position where the next line starts, and *insert what goes before it;
// npos when there is no such place.
std::size_t fold_point(const std::string& field, std::size_t from, std::size_t to, bool addresses,
                       const char** insert) {
  std::size_t first = from;
  while (first < to && is_blank(field[first])) ++first;
  for (std::size_t at = to + 1; at > first + 1;) {
    if (is_blank(field[--at])) {
      *insert = "\r\n";
      return at;
    }
  }
  for (std::size_t at = to; addresses && at > first;) {
    if (field[--at] == ',') {
      *insert = "\r\n ";
      return at + 1;
    }
  }
  return std::string::npos;
}

// Folds each line of the field (its lines ended by CR LF) that passes
// kHeaderLineMost at the last place that keeps it within that; lines
// within it stay as they are. False when a line has no place to fold.
bool fold_long_lines(std::string* field, bool addresses) {
  bool folded_all = true;
  for (std::size_t begin = 0; begin < field->size();) {
    std::size_t end = field->find("\r\n", begin);
    if (end == std::string::npos) end = field->size();
    if (end - begin <= kHeaderLineMost) {
      begin = end + 2;
      continue;
    }
    const char* insert = "";
    const std::size_t at = fold_point(*field, begin, begin + kHeaderLineMost, addresses, &insert);
    if (at == std::string::npos) {
      folded_all = false;
      begin = end + 2;
      continue;
    }
    field->insert(at, insert);
    begin = at + 2;  // the new line, which starts with its blank
  }
  return folded_all;
}

// "<name>: <value>\r\n". A run of line breaks inside the value (CR and LF
// in any mix) goes out as one CR LF and a blank, a folded continuation
// line, so the value can neither start a new field nor end the header; a
// run at the value's end is dropped, so no line is blank.
std::string field_lines(const char* name, const char* value) {
  std::string field = std::string(name) + ": ";
  for (const char* at = value; *at != '\0'; ++at) {
    if (*at != '\r' && *at != '\n') {
      field += *at;
      continue;
    }
    while (at[1] == '\r' || at[1] == '\n') ++at;
    if (at[1] != '\0') field += "\r\n ";
  }
  return field + "\r\n";
}

// The charset of encoded words for a text that has no charset of its own.
const char* charset_for(const MessageOptions& options, const char* value) {
  if (options.charset[0] != '\0') return options.charset;
  return valid_utf8(value) ? "utf-8" : "ISO-8859-1";
}

// The field's lines: the value as it stands or, when encode and -charset
// are given and it holds bytes above 127, in encoded words; folded where a
// line would pass 998 octets. A text that cannot be folded there goes in
// encoded words, which fold anywhere; *fits is false when an address list
// still has a line that passes it.
std::string folded_field(const MessageOptions& options, const char* name, const char* value,
                         FieldKind kind, bool encode, bool* fits) {
  std::string field;
  if (encode && options.charset[0] != '\0' && has_eight_bit(value)) {
    append_encoded_field(&field, name, value, options.charset, kind);
  } else {
    field = field_lines(name, value);
  }
  *fits = fold_long_lines(&field, kind == FieldKind::kAddresses);
  if (!*fits && kind == FieldKind::kText) {
    field.clear();
    append_encoded_field(&field, name, value, charset_for(options, value), kind);
    *fits = true;
  }
  return field;
}

void append_value(const MessageOptions& options, std::string* block, const char* name,
                  const char* value, FieldKind kind, bool encode = true) {
  bool fits = true;
  *block += folded_field(options, name, value, kind, encode, &fits);
}

void append_subject(const MailerState& state, const MessageOptions& options, const char* file_name,
                    std::string* block) {
  if (state.subject[0] != '\0') {
    append_value(options, block, "Subject", state.subject, FieldKind::kText);
  } else if (state.header_only_body) {
    // The body file brings its own subject line.
  } else if (std::strcmp(file_name, "-") == 0) {
    *block += "Subject: Contents of console input\r\n";
  } else {
    std::string text = "Contents of file: ";
    text += file_name;
    append_value(options, block, "Subject", text.c_str(), FieldKind::kText);
  }
}

void append_mime_lines(const MailerState& state, const MessageOptions& options,
                       const BodyLayout& layout, std::string* block) {
  if (!layout.boundary.empty()) {
    *block += kMimeVersion;
    *block += "Content-Type: multipart/" + layout.multipart + "; ";
    if (layout.multipart == "related") *block += "type=\"text/html\"; ";
    *block += "boundary=\"" + layout.boundary + "\"\r\n";
  } else if (state.mime || options.html || options.charset[0] != '\0' || layout.eight_bit ||
             layout.encoded) {
    *block += kMimeVersion;
    *block += body_content_lines(state, options, layout);
  }
}

// Message-ID, then the -header lines, in the order given.
void append_own_lines(const MessageOptions& options, std::string* block) {
  if (!options.message_id.empty()) *block += "Message-ID: " + options.message_id + "\r\n";
  for (const HeaderField& field : options.headers) {
    if (equal_nocase(field.name, "Message-ID")) continue;  // it is options.message_id
    if (has_eight_bit(field.value)) {
      const char* charset = options.charset[0] != '\0' ? options.charset : "utf-8";
      append_encoded_field(block, field.name.c_str(), field.value, charset, FieldKind::kText);
    } else {
      append_value(options, block, field.name.c_str(), field.value.c_str(), FieldKind::kText,
                   false);
    }
  }
}

}  // namespace

std::string format_date_header(const LocalTime& time, const ZoneRecord& zone, int period) {
  const long in_force =
      zone.bias + (period == kPeriodStandard ? zone.standard_bias : zone.daylight_bias);
  const long offset = -in_force;
  const long magnitude = offset < 0 ? -offset : offset;
  char line[kDateLineBytes];
  std::snprintf(line, sizeof line, "Date: %s, %.2d %s %.2d %.2d:%.2d:%.2d %c%.2ld%.2ld\r\n",
                name_or_blank(kDayNames, 7, time.day_of_week), time.day,
                name_or_blank(kMonthNames, 12, time.month - 1), time.year, time.hour, time.minute,
                time.second, offset < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
  return line;
}

std::string body_content_lines(const MailerState& state, const MessageOptions& options,
                               const BodyLayout& layout) {
  const char* charset = options.charset[0] != '\0' ? options.charset
                        : state.mime               ? kMimeCharset
                                                   : layout.charset.c_str();
  std::string lines = text_part_lines(options.html != 0, charset, layout.encoded);
  if (layout.eight_bit) lines += "Content-Transfer-Encoding: 8bit\r\n";
  return lines;
}

const char* overlong_address_field(const MailerState& state, const MessageOptions& options) {
  const struct {
    const char* name;
    const char* value;
    bool written;
  } fields[] = {{"From", state.from_address, true},
                {"Sender", state.login, state.from_given != 0},
                {"To", state.to_list, true},
                {"Cc", state.cc_list, state.cc_list[0] != '\0'}};
  for (const auto& field : fields) {
    bool fits = true;
    if (field.written)
      folded_field(options, field.name, field.value, FieldKind::kAddresses, true, &fits);
    if (!fits) return field.name;
  }
  return nullptr;
}

void build_header_block(const MailerState& state, const MessageOptions& options,
                        const char* file_name, const BodyLayout& layout, std::string* block) {
  LocalTime time;
  ZoneRecord zone;
  int period = kPeriodStandard;
  platform_local_time(&time, &zone, &period);
  *block = format_date_header(time, zone, period);

  append_value(options, block, "From", state.from_address, FieldKind::kAddresses);
  if (state.from_given) {
    append_value(options, block, "Sender", state.login, FieldKind::kAddresses, false);
    if (!state.header_only_body) {
      append_value(options, block, "Reply-to", state.login, FieldKind::kAddresses, false);
    }
  }
  append_subject(state, options, file_name, block);
  append_value(options, block, "To", state.to_list, FieldKind::kAddresses);
  if (state.cc_list[0] != '\0')
    append_value(options, block, "Cc", state.cc_list, FieldKind::kAddresses);
  append_mime_lines(state, options, layout, block);
  append_own_lines(options, block);
  *block += kMailerLine;
  if (!state.header_only_body) *block += "\r\n";
}
