// The header block written ahead of the body.
#include "message/header_block.h"

#include <cstdio>
#include <cstring>

namespace {

const char* const kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

const char* const kMimeLines =
    "MIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=ISO-8859-1\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n";
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

void append_subject(const MailerState& state, const char* file_name, std::string* block) {
  if (state.subject[0] != '\0') {
    append_field(block, "Subject", state.subject);
  } else if (state.header_only_body) {
    // The body file brings its own subject line.
  } else if (std::strcmp(file_name, "-") == 0) {
    *block += "Subject: Contents of console input\r\n";
  } else {
    std::string text = "Contents of file: ";
    text += file_name;
    append_field(block, "Subject", text.c_str());
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

void build_header_block(const MailerState& state, const char* file_name, std::string* block) {
  LocalTime time;
  ZoneRecord zone;
  int period = kPeriodStandard;
  platform_local_time(&time, &zone, &period);
  *block = format_date_header(time, zone, period);

  append_field(block, "From", state.from_address);
  if (state.from_given) {
    append_field(block, "Sender", state.login);
    if (!state.header_only_body) append_field(block, "Reply-to", state.login);
  }
  append_subject(state, file_name, block);
  append_field(block, "To", state.to_list);
  if (state.cc_list[0] != '\0') append_field(block, "Cc", state.cc_list);
  if (state.mime) *block += kMimeLines;
  *block += kMailerLine;
  if (!state.header_only_body) *block += "\r\n";
}
