// The header block written ahead of the body.
#pragma once

#include <string>

#include "message/message_options.h"
#include "platform/platform.h"
#include "quib/mailer_state.h"

// Writes the date line, its CR LF included, for the given local time, zone
// record and period code (1 = standard time), e.g.
// "Date: Mon, 05 Feb 1996 09:03:07 +0100\r\n".
std::string format_date_header(const LocalTime& time, const ZoneRecord& zone, int period);

// How the body goes out, which decides the MIME lines of the header.
struct BodyLayout {
  bool encoded = false;             // the body goes quoted-printable
  bool eight_bit = false;           // the body goes unencoded with 8-bit bytes (-8bit)
  std::string boundary;             // not empty: a multipart message with this boundary
  std::string multipart = "mixed";  // its subtype: "mixed", or "related" for -embed alone
  // Declared for an encoded or 8-bit body when neither -charset nor -mime says.
  std::string charset;
};

// The body's Content-Type line, and its Content-Transfer-Encoding line when
// encoded or 8-bit: text/html with -html, else text/plain; the charset of
// -charset, else ISO-8859-1 with -mime, else the layout's.
std::string body_content_lines(const MailerState& state, const MessageOptions& options,
                               const BodyLayout& layout);

// The header field ("From", "Sender", "To" or "Cc") holding an address too
// long for any header line (998 octets, the blank before it included);
// null when there is none.
const char* overlong_address_field(const MailerState& state, const MessageOptions& options);

// Writes the whole header block for this run into *block (replacing it):
// Date, From, Sender, Reply-to, Subject, To, Cc, the MIME lines, Message-ID,
// the -header lines, X-Mailer and the empty line, as the state and the
// options ask. file_name is argument 1 as typed.
// Values go out whole: a line that would pass 998 octets is folded before
// a blank or, in an address list, after a comma; a subject with no such
// place goes in encoded words (-charset, else UTF-8 when valid, else
// ISO-8859-1). Every line break inside a
// value (CR LF, a lone LF or a lone CR, each one break) is written as CR LF
// and one blank, a folded continuation line, so that no value can add a field
// or end the header; a value ending with a line break thus ends with a line
// holding one blank, which is not the empty line. With -charset, the
// Subject, and the names in From, To and Cc, that hold bytes above 127 go
// out as encoded words, folded within 78 characters a line. The MIME lines
// follow the layout: none for a plain body without -mime, -html or
// -charset. A -header value with bytes above 127 goes in encoded words of
// -charset (UTF-8 without one). Calls platform_local_time once.
void build_header_block(const MailerState& state, const MessageOptions& options,
                        const char* file_name, const BodyLayout& layout, std::string* block);
