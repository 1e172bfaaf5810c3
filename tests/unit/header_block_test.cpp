// The header block: date line, field order and conditions, folded values.
#include "message/header_block.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "message/mime_parts.h"

namespace {

const char kMailer[] = "X-Mailer: <WinNT's Quib ver 1.5>\r\n";
const char kMime[] =
    "MIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=ISO-8859-1\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n";

// ---- Date line ----------------------------------------------------------------

struct ZoneRow {
  long bias;
  long standard_bias;
  long daylight_bias;
  int period;
  const char* zone;
};

const ZoneRow kZoneRows[] = {
    {0, 0, 0, kPeriodStandard, "+0000"},
    {-60, 0, 0, kPeriodStandard, "+0100"},
    {300, 0, -60, kPeriodDaylight, "-0400"},
    {210, 0, 0, kPeriodStandard, "-0330"},
    {210, 0, -60, kPeriodDaylight, "-0230"},
    {-330, 0, 0, kPeriodStandard, "+0530"},
    // The period's own bias is added; any code but 1 takes the daylight bias.
    {300, 60, -60, kPeriodStandard, "-0600"},
    {300, 60, -60, 0, "-0400"},
    {-345, 0, 0, kPeriodStandard, "+0545"},
    {720, 0, 0, kPeriodStandard, "-1200"},
};

TEST(DateLine, ExampleDay) {
  const LocalTime time{1996, 2, 1, 5, 9, 3, 7};
  const ZoneRecord zone{-60, 0, 0};
  EXPECT_EQ(format_date_header(time, zone, kPeriodStandard),
            "Date: Mon, 05 Feb 1996 09:03:07 +0100\r\n");
}

TEST(DateLine, ZoneTable) {
  const LocalTime time{2024, 12, 2, 31, 23, 59, 58};
  for (const ZoneRow& row : kZoneRows) {
    const ZoneRecord zone{row.bias, row.standard_bias, row.daylight_bias};
    const std::string line = format_date_header(time, zone, row.period);
    EXPECT_EQ(line, std::string("Date: Tue, 31 Dec 2024 23:59:58 ") + row.zone + "\r\n")
        << "bias " << row.bias << " period " << row.period;
  }
}

TEST(DateLine, EveryDayAndMonthName) {
  const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (int month = 1; month <= 12; ++month) {
    const LocalTime time{2001, month, month % 7, 9, 0, 0, 0};
    const std::string line = format_date_header(time, ZoneRecord{}, kPeriodStandard);
    EXPECT_EQ(line, std::string("Date: ") + days[month % 7] + ", 09 " + months[month - 1] +
                        " 2001 00:00:00 +0000\r\n");
    EXPECT_EQ(line.size(), 39u);
  }
}

// ---- The block ------------------------------------------------------------------

struct Options {
  const char* from = "me@here";
  const char* login = "me@here";
  int from_given = 0;
  int penguin = 0;
  int mime = 0;
  const char* subject = "";
  const char* to = "";
  const char* cc = "";
  const char* bcc = "";
  int html = 0;
  const char* charset = "";
  bool encoded = false;  // the body goes quoted-printable without -mime
};

// The date line the fixed clock of the tests gives.
const char kDateLine[] = "Date: Mon, 05 Feb 1996 09:03:07 +0100\r\n";

// Builds the block, which must begin with the date line, and returns the rest.
std::string build(const Options& options, const char* file_name) {
  MailerState state;
  state.from_address = options.from;
  state.login = options.login;
  state.from_given = options.from_given;
  state.header_only_body = options.penguin;
  state.mime = options.mime;
  state.subject = options.subject;
  state.to_list = options.to;
  state.cc_list = options.cc;
  state.bcc_list = options.bcc;
  MessageOptions message;
  message.html = options.html;
  message.charset = options.charset;
  std::string block = "left over";
  BodyLayout layout;
  layout.encoded = options.encoded || options.mime;
  build_header_block(state, message, file_name, layout, &block);
  EXPECT_EQ(block.substr(0, sizeof kDateLine - 1), kDateLine);
  return block.substr(std::min(block.size(), sizeof kDateLine - 1));
}

// A case of the block: the options, the message file's name, and the exact
// block after the date line.
struct BlockRow {
  const char* name;
  Options options;
  const char* file_name;
  std::string after_date;
};

std::vector<BlockRow> block_rows() {
  const std::string m = kMailer;
  std::vector<BlockRow> rows;
  Options o;
  o.to = "ann";
  rows.push_back(
      {"plain file", o, "body.txt",
       "From: me@here\r\nSubject: Contents of file: body.txt\r\nTo: ann\r\n" + m + "\r\n"});
  rows.push_back(
      {"console input", o, "-",
       "From: me@here\r\nSubject: Contents of console input\r\nTo: ann\r\n" + m + "\r\n"});
  rows.push_back({"file named with drive and folders", o, "C:\\mail\\note.txt",
                  "From: me@here\r\nSubject: Contents of file: C:\\mail\\note.txt\r\nTo: ann\r\n" +
                      m + "\r\n"});
  rows.push_back({"only a name that starts with a dash", o, "-x",
                  "From: me@here\r\nSubject: Contents of file: -x\r\nTo: ann\r\n" + m + "\r\n"});
  Options no_to;
  no_to.subject = "Hi";
  rows.push_back(
      {"no To list", no_to, "b", "From: me@here\r\nSubject: Hi\r\nTo: \r\n" + m + "\r\n"});
  Options from_penguin = o;
  from_penguin.from = "boss@there";
  from_penguin.login = "me@here";
  from_penguin.from_given = 1;
  from_penguin.penguin = 1;
  rows.push_back({"-i -penguin without -s", from_penguin, "b",
                  "From: boss@there\r\nSender: me@here\r\nTo: ann\r\n" + m});
  Options penguin_subject = o;
  penguin_subject.penguin = 1;
  penguin_subject.subject = "S";
  rows.push_back(
      {"-penguin -s", penguin_subject, "b", "From: me@here\r\nSubject: S\r\nTo: ann\r\n" + m});
  Options mime = o;
  mime.mime = 1;
  mime.cc = "bob";
  rows.push_back({"-mime", mime, "b",
                  "From: me@here\r\nSubject: Contents of file: b\r\nTo: ann\r\nCc: bob\r\n" +
                      std::string(kMime) + m + "\r\n"});
  // The MIME lines once, wherever the options put them.
  const std::string head = "From: me@here\r\nSubject: S\r\nTo: ann\r\nMIME-Version: 1.0\r\n";
  Options html = o;
  html.subject = "S";
  html.html = 1;
  rows.push_back({"-html", html, "b", head + "Content-Type: text/html\r\n" + m + "\r\n"});
  Options mime_charset = html;
  mime_charset.html = 0;
  mime_charset.mime = 1;
  mime_charset.charset = "windows-1252";
  rows.push_back({"-mime -charset", mime_charset, "b",
                  head +
                      "Content-Type: text/plain; charset=windows-1252\r\n"
                      "Content-Transfer-Encoding: quoted-printable\r\n" +
                      m + "\r\n"});
  Options charset_8bit = html;
  charset_8bit.charset = "utf-8";
  charset_8bit.encoded = true;
  rows.push_back({"-html -charset, body with 8-bit bytes", charset_8bit, "b",
                  head +
                      "Content-Type: text/html; charset=utf-8\r\n"
                      "Content-Transfer-Encoding: quoted-printable\r\n" +
                      m + "\r\n"});
  // -charset: 8-bit values in encoded words, folded; addresses as typed.
  Options words;
  words.charset = "utf-8";
  words.from = "Zo\xc3\xab <zoe@example.org>";
  words.subject =
      "\xc3\x9c"
      "bersicht f\xc3\xbcr M\xc3\xa4rz: Ums\xc3\xa4tze und Kosten der gro\xc3\x9f"
      "en Abteilung";
  words.to =
      "J\xc3\xbcrgen M\xc3\xbcller <jm@example.de>, ann@example.org (\xc3\x84nne), bob@example.org";
  words.cc = "caf\xc3\xa9@example.org";
  rows.push_back({"-charset", words, "b",
                  "From: =?utf-8?Q?Zo=C3=AB?= <zoe@example.org>\r\n"
                  "Subject: =?utf-8?Q?=C3=9Cbersicht_f=C3=BCr_M=C3=A4rz=3A_Ums=C3=A4tze_und_K?=\r\n"
                  " =?utf-8?Q?osten_der_gro=C3=9Fen_Abteilung?=\r\n"
                  "To: =?utf-8?B?SsO8cmdlbiBNw7xsbGVy?= <jm@example.de>, ann@example.org\r\n"
                  " (=?utf-8?B?w4RubmU=?=), bob@example.org\r\n"
                  "Cc: caf\xc3\xa9@example.org\r\n"
                  "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n" +
                      m + "\r\n"});
  return rows;
}

TEST(HeaderBlock, LinesOrderAndConditions) {
  for (const BlockRow& row : block_rows()) {
    EXPECT_EQ(build(row.options, row.file_name), row.after_date) << row.name;
  }
}

// Splits a header into its lines (each with its CR LF dropped); false when a
// bare CR or LF stands anywhere or the text does not end with CR LF.
bool split_lines(const std::string& header, std::vector<std::string>* lines) {
  lines->clear();
  std::size_t start = 0;
  while (start < header.size()) {
    const std::size_t end = header.find("\r\n", start);
    if (end == std::string::npos) return false;
    const std::string line = header.substr(start, end - start);
    if (line.find_first_of("\r\n") != std::string::npos) return false;
    lines->push_back(line);
    start = end + 2;
  }
  return true;
}

// The field names of a header, continuation lines skipped; the empty line
// must be the last line when present.
std::vector<std::string> field_names(const std::string& header, bool* well_formed) {
  std::vector<std::string> lines;
  std::vector<std::string> names;
  *well_formed = split_lines(header, &lines);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.empty()) {
      *well_formed = *well_formed && i + 1 == lines.size();
    } else if (line[0] == ' ' || line[0] == '\t') {
      *well_formed = *well_formed && i > 0;
    } else {
      const std::size_t colon = line.find(':');
      *well_formed = *well_formed && colon != std::string::npos && colon > 0;
      names.push_back(line.substr(0, colon));
    }
  }
  return names;
}

// The part headers and the boundary of a message with attachments. The
// name goes twice, as name= and filename=: "@" in a row stands for either.
TEST(MimeParts, PartHeadersAndBoundary) {
  const std::string disposition =
      "\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment;";
  const std::string long_name(30, '\xe9');
  std::string umlauts;
  for (int i = 0; i < 30; ++i) umlauts += "\xc3\xa4";
  const struct {
    std::string path, charset, type, parameter;
  } rows[] = {
      {"/r/Q3.PDF", "", "application/pdf", " @=\"Q3.PDF\""},
      {"C:\\reports\\Q3.Csv", "", "text/csv", " @=\"Q3.Csv\""},
      {"x/a \"b\".csv", "", "text/csv", "\r\n @*=utf-8''a%20%22b%22.csv"},
      {"M\xc3\xa4rz.tar.gz", "", "application/gzip", "\r\n @*=utf-8''M%C3%A4rz.tar.gz"},
      {"caf\xe9", "", "application/octet-stream", "\r\n @*=ISO-8859-1''caf%E9"},
      {long_name + ".log", "windows-1252", "text/plain",
       "\r\n @*0*=windows-1252''%E9%E9%E9%E9%E9%E9%E9%E9%E9%E9%E9%E9%E9%E9%E9%E9;"
       "\r\n @*1*=%E9%E9%E9%E9%E9%E9%E9%E9%E9%E9%E9%E9%E9%E9.log"},
      // Pieces end between characters.
      {"xy" + umlauts + ".txt", "", "text/plain",
       "\r\n @*0*=utf-8''xy%C3%A4%C3%A4%C3%A4%C3%A4%C3%A4%C3%A4%C3%A4%C3%A4;"
       "\r\n @*1*=%C3%A4%C3%A4%C3%A4%C3%A4%C3%A4%C3%A4%C3%A4%C3%A4%C3%A4%C3%A4;"
       "\r\n @*2*=%C3%A4%C3%A4%C3%A4%C3%A4%C3%A4%C3%A4%C3%A4%C3%A4%C3%A4%C3%A4;"
       "\r\n @*3*=%C3%A4%C3%A4.txt"},
  };
  for (const auto& row : rows) {
    std::string name = row.parameter, filename = row.parameter;
    for (std::size_t at; (at = name.find('@')) != std::string::npos;) name.replace(at, 1, "name");
    for (std::size_t at; (at = filename.find('@')) != std::string::npos;) {
      filename.replace(at, 1, "filename");
    }
    EXPECT_EQ(attachment_part_header(row.path, row.charset),
              "Content-Type: " + row.type + ";" + name + disposition + filename + "\r\n\r\n")
        << row.path;
  }
  EXPECT_EQ(choose_boundary({"plain", "text"}), "=_quib_00000000");
  EXPECT_EQ(choose_boundary({"--=_quib_00000000 =_quib_00000002", "=_quib_00000001x"}),
            "=_quib_00000003");
}

TEST(HeaderBlock, EverythingAtOnceComesOutWhole) {
  const std::string subject(600, 's');
  std::string to;
  for (int i = 0; i < 40; ++i) to += "person" + std::to_string(i) + "@example.org, ";
  Options all;
  all.from = "boss@there";
  all.from_given = 1;
  all.penguin = 1;
  all.mime = 1;
  all.subject = subject.c_str();
  all.to = to.c_str();
  all.cc = "bob, carol";
  const std::string block = build(all, "body.txt");
  EXPECT_EQ(block, "From: boss@there\r\nSender: me@here\r\nSubject: " + subject + "\r\nTo: " + to +
                       "\r\nCc: bob, carol\r\n" + kMime + kMailer);
  bool well_formed = false;
  const std::vector<std::string> names = field_names(block, &well_formed);
  EXPECT_TRUE(well_formed);
  EXPECT_EQ(names,
            (std::vector<std::string>{"From", "Sender", "Subject", "To", "Cc", "MIME-Version",
                                      "Content-Type", "Content-Transfer-Encoding", "X-Mailer"}));
}

// Default options with the subject, To and Cc given.
Options values(const char* subject, const char* to = "", const char* cc = "") {
  Options options;
  options.subject = subject;
  options.to = to;
  options.cc = cc;
  return options;
}

std::vector<BlockRow> injection_rows() {
  const std::string m = kMailer;
  Options sender = values("S");
  sender.from = "a@b\r\nTo: evil";
  sender.login = "me\nReply-to: evil";
  sender.from_given = 1;
  return {
      {"subject CR LF", values("x\r\nBcc: evil"), "b",
       "From: me@here\r\nSubject: x\r\n Bcc: evil\r\nTo: \r\n" + m + "\r\n"},
      {"To with two LF: one fold", values("S", "ann\n\nbody starts"), "b",
       "From: me@here\r\nSubject: S\r\nTo: ann\r\n body starts\r\n" + m + "\r\n"},
      {"file name with LF", values(""), "a\nBcc: evil",
       "From: me@here\r\nSubject: Contents of file: a\r\n Bcc: evil\r\nTo: \r\n" + m + "\r\n"},
      {"lone CR, LF CR, CR LF CR LF", values("a\rb\n\rc\r\n\r\nd"), "b",
       "From: me@here\r\nSubject: a\r\n b\r\n c\r\n d\r\nTo: \r\n" + m + "\r\n"},
      {"value ending with a line break", values("x\n", "", "\r\n"), "b",
       "From: me@here\r\nSubject: x\r\nTo: \r\nCc: \r\n" + m + "\r\n"},
      {"From, Sender and Reply-to", sender, "b",
       "From: a@b\r\n To: evil\r\nSender: me\r\n Reply-to: evil\r\n"
       "Reply-to: me\r\n Reply-to: evil\r\nSubject: S\r\nTo: \r\n" +
           m + "\r\n"},
  };
}

TEST(HeaderBlock, LineBreaksInValuesAreFolded) {
  for (const BlockRow& row : injection_rows()) {
    const std::string block = build(row.options, row.file_name);
    EXPECT_EQ(block, row.after_date) << row.name;
    bool well_formed = false;
    const std::vector<std::string> names = field_names(block, &well_formed);
    EXPECT_TRUE(well_formed) << row.name;
    for (const std::string& name : names) {
      EXPECT_NE(name, "Bcc") << row.name;
    }
  }
}

}  // namespace
