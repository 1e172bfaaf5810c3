// The header block written ahead of the body.
#include "message/header_block.h"

#include <cstdio>
#include <cstring>

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

// Appends "<name>: <value>\r\n". A run of line breaks inside the value (CR
// and LF in any mix) goes out as one CR LF and a blank, a folded
// continuation line, so the value can neither start a new field nor end the
// header; a run at the value's end is dropped, so no line is blank.
void append_field(std::string* block, const char* name, const char* value) {
  *block += name;
  *block += ": ";
  for (const char* at = value; *at != '\0'; ++at) {
    if (*at != '\r' && *at != '\n') {
      *block += *at;
      continue;
    }
    while (at[1] == '\r' || at[1] == '\n') ++at;
    if (at[1] != '\0') *block += "\r\n ";
  }
  *block += "\r\n";
}

// A field whose value may be written in encoded words: with -charset, when
// it holds bytes above 127.
void append_value(const MailerState& state, std::string* block, const char* name, const char* value,
                  FieldKind kind) {
  if (state.charset[0] != '\0' && has_eight_bit(value)) {
    append_encoded_field(block, name, value, state.charset, kind);
  } else {
    append_field(block, name, value);
  }
}

void append_subject(const MailerState& state, const char* file_name, std::string* block) {
  if (state.subject[0] != '\0') {
    append_value(state, block, "Subject", state.subject, FieldKind::kText);
  } else if (state.header_only_body) {
    // The body file brings its own subject line.
  } else if (std::strcmp(file_name, "-") == 0) {
    *block += "Subject: Contents of console input\r\n";
  } else {
    std::string text = "Contents of file: ";
    text += file_name;
    append_value(state, block, "Subject", text.c_str(), FieldKind::kText);
  }
}

void append_mime_lines(const MailerState& state, const BodyLayout& layout, std::string* block) {
  if (!layout.boundary.empty()) {
    *block += kMimeVersion;
    *block += "Content-Type: multipart/" + layout.multipart + "; ";
    if (layout.multipart == "related") *block += "type=\"text/html\"; ";
    *block += "boundary=\"" + layout.boundary + "\"\r\n";
  } else if (state.mime || state.html || state.charset[0] != '\0' || layout.eight_bit ||
             layout.encoded) {
    *block += kMimeVersion;
    *block += body_content_lines(state, layout);
  }
}

// Message-ID, then the -header lines, in the order given.
void append_own_lines(const MailerState& state, std::string* block) {
  if (!state.message_id.empty()) *block += "Message-ID: " + state.message_id + "\r\n";
  for (const HeaderField& field : state.headers) {
    if (same_field_name(field.name, "Message-ID")) continue;  // it is state.message_id
    if (has_eight_bit(field.value)) {
      const char* charset = state.charset[0] != '\0' ? state.charset : "utf-8";
      append_encoded_field(block, field.name.c_str(), field.value, charset, FieldKind::kText);
    } else {
      append_field(block, field.name.c_str(), field.value.c_str());
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

std::string body_content_lines(const MailerState& state, const BodyLayout& layout) {
  const char* charset = state.charset[0] != '\0' ? state.charset
                        : state.mime             ? kMimeCharset
                                                 : layout.charset.c_str();
  std::string lines = text_part_lines(state.html != 0, charset, layout.encoded);
  if (layout.eight_bit) lines += "Content-Transfer-Encoding: 8bit\r\n";
  return lines;
}

void build_header_block(const MailerState& state, const char* file_name, std::string* block) {
  BodyLayout layout;
  layout.encoded = state.mime != 0;
  build_header_block(state, file_name, layout, block);
}

void build_header_block(const MailerState& state, const char* file_name, const BodyLayout& layout,
                        std::string* block) {
  LocalTime time;
  ZoneRecord zone;
  int period = kPeriodStandard;
  platform_local_time(&time, &zone, &period);
  *block = format_date_header(time, zone, period);

  append_value(state, block, "From", state.from_address, FieldKind::kAddresses);
  if (state.from_given) {
    append_field(block, "Sender", state.login);
    if (!state.header_only_body) append_field(block, "Reply-to", state.login);
  }
  append_subject(state, file_name, block);
  append_value(state, block, "To", state.to_list, FieldKind::kAddresses);
  if (state.cc_list[0] != '\0')
    append_value(state, block, "Cc", state.cc_list, FieldKind::kAddresses);
  append_mime_lines(state, layout, block);
  append_own_lines(state, block);
  *block += kMailerLine;
  if (!state.header_only_body) *block += "\r\n";
}
