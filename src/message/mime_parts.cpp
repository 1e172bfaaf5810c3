// The pieces of a multipart/mixed message.
#include "message/mime_parts.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/ascii.h"
#include "message/encoded_words.h"

namespace {

struct TypeRow {
  const char* extension;
  const char* type;
};

// The usual extensions of what scripts mail.
const TypeRow kTypes[] = {
    {"txt", "text/plain"},
    {"log", "text/plain"},
    {"csv", "text/csv"},
    {"tsv", "text/tab-separated-values"},
    {"htm", "text/html"},
    {"html", "text/html"},
    {"css", "text/css"},
    {"md", "text/markdown"},
    {"ics", "text/calendar"},
    {"xml", "application/xml"},
    {"json", "application/json"},
    {"pdf", "application/pdf"},
    {"rtf", "application/rtf"},
    {"zip", "application/zip"},
    {"gz", "application/gzip"},
    {"tgz", "application/gzip"},
    {"tar", "application/x-tar"},
    {"bz2", "application/x-bzip2"},
    {"xz", "application/x-xz"},
    {"7z", "application/x-7z-compressed"},
    {"doc", "application/msword"},
    {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    {"xls", "application/vnd.ms-excel"},
    {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    {"ppt", "application/vnd.ms-powerpoint"},
    {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
    {"odt", "application/vnd.oasis.opendocument.text"},
    {"ods", "application/vnd.oasis.opendocument.spreadsheet"},
    {"png", "image/png"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"gif", "image/gif"},
    {"svg", "image/svg+xml"},
    {"webp", "image/webp"},
    {"bmp", "image/bmp"},
    {"tif", "image/tiff"},
    {"tiff", "image/tiff"},
    {"mp3", "audio/mpeg"},
    {"wav", "audio/wav"},
    {"mp4", "video/mp4"},
};

const char kOctetStream[] = "application/octet-stream";
const char kBoundaryPrefix[] = "=_quib_";
constexpr std::size_t kBoundaryPrefixLength = sizeof kBoundaryPrefix - 1;
constexpr std::size_t kBoundaryDigits = kBoundaryLength - kBoundaryPrefixLength;
constexpr std::size_t kLineMost = 78;

bool printable_ascii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= 32 && c < 127; });
}

// RFC 2231's attribute-char: what stands as itself in an extended value.
bool attribute_char(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         (c != 0 && std::strchr("!#$&+-.^_`|~", c) != nullptr);
}

// The name's bytes as RFC 2231 extended-value pieces ("%C3%BC" for ü), cut
// between whole characters (a UTF-8 sequence stays in one piece when utf8)
// so that the first fits in first_room characters and each other in room.
std::vector<std::string> extended_pieces(std::string_view name, bool utf8, std::size_t first_room,
                                         std::size_t room) {
  const char* digits = "0123456789ABCDEF";
  std::vector<std::string> pieces(1);
  for (std::size_t at = 0; at < name.size();) {
    std::string character;
    do {
      const unsigned char c = static_cast<unsigned char>(name[at++]);
      if (attribute_char(c)) {
        character += static_cast<char>(c);
      } else {
        character += {'%', digits[c >> 4], digits[c & 15]};
      }
    } while (utf8 && at < name.size() && (static_cast<unsigned char>(name[at]) & 0xC0) == 0x80);
    const std::size_t most = pieces.size() == 1 ? first_room : room;
    if (!pieces.back().empty() && pieces.back().size() + character.size() > most) {
      pieces.emplace_back();
    }
    pieces.back() += character;
  }
  return pieces;
}

// lines (a field ending in ";") with the parameter attribute for the file's
// base name: a quoted string when it is printable ASCII without a quote or
// backslash, else RFC 2231's extended form, folded within 78 characters.
std::string with_name_parameter(std::string lines, const char* attribute, std::string_view name,
                                std::string_view charset) {
  const bool plain = printable_ascii(name) && name.find_first_of("\"\\") == std::string::npos;
  if (plain) {
    const std::string quoted = attribute + ("=\"" + std::string(name) + "\"");
    const bool fits = lines.size() + 1 + quoted.size() <= kLineMost;
    return lines + (fits ? " " : "\r\n ") + quoted + "\r\n";
  }
  std::string declared(charset);
  if (declared.empty()) declared = valid_utf8(name) ? "utf-8" : "ISO-8859-1";
  std::string lower;
  for (char c : declared) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  const bool utf8 = lower == "utf-8" || lower == "utf8";
  const std::string head = declared + "''";
  // " filename*NN*=" and ";" leave the rest of a line for the value.
  constexpr std::size_t kPieceRoom = kLineMost - 16;
  const std::vector<std::string> pieces =
      extended_pieces(name, utf8, kPieceRoom - std::min(head.size(), kPieceRoom / 2), kPieceRoom);
  if (pieces.size() == 1) return lines + "\r\n " + attribute + "*=" + head + pieces[0] + "\r\n";
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    lines += "\r\n " + std::string(attribute) + "*" + std::to_string(i) +
             "*=" + (i == 0 ? head : "") + pieces[i];
    if (i + 1 < pieces.size()) lines += ';';
  }
  return lines + "\r\n";
}

}  // namespace

const char* content_type_for(std::string_view file_name) {
  const std::string_view name = base_name(file_name);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return kOctetStream;
  const std::string_view extension = name.substr(dot + 1);
  for (const TypeRow& row : kTypes) {
    if (equal_nocase(extension, row.extension)) return row.type;
  }
  return kOctetStream;
}

std::string_view base_name(std::string_view path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string text_part_lines(bool html, std::string_view charset, bool encoded) {
  std::string lines = html ? "Content-Type: text/html" : "Content-Type: text/plain";
  if (!charset.empty()) lines += "; charset=" + std::string(charset);
  lines += "\r\n";
  if (encoded) lines += "Content-Transfer-Encoding: quoted-printable\r\n";
  return lines;
}

std::string attachment_part_header(std::string_view path, std::string_view charset) {
  const std::string_view name = base_name(path);
  return with_name_parameter(std::string("Content-Type: ") + content_type_for(path) + ";", "name",
                             name, charset) +
         "Content-Transfer-Encoding: base64\r\n" +
         with_name_parameter("Content-Disposition: attachment;", "filename", name, charset) +
         "\r\n";
}

bool content_id_name(std::string_view base) {
  return !base.empty() && std::all_of(base.begin(), base.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
  });
}

std::string embedded_part_header(std::string_view path) {
  const std::string name(base_name(path));
  return std::string("Content-Type: ") + content_type_for(path) +
         "\r\nContent-Transfer-Encoding: base64\r\nContent-ID: <" + name +
         ">\r\nContent-Disposition: inline; filename=\"" + name + "\"\r\n\r\n";
}

std::string choose_boundary(const std::vector<std::string_view>& plain_parts) {
  // The numbers that follow the prefix anywhere in the parts are taken.
  std::vector<unsigned long> taken;
  for (std::string_view part : plain_parts) {
    for (std::size_t at = part.find(kBoundaryPrefix); at != std::string_view::npos;
         at = part.find(kBoundaryPrefix, at + 1)) {
      const std::string_view digits = part.substr(at + kBoundaryPrefixLength, kBoundaryDigits);
      if (digits.size() == kBoundaryDigits &&
          std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        taken.push_back(std::stoul(std::string(digits)));
      }
    }
  }
  std::sort(taken.begin(), taken.end());
  unsigned long number = 0;
  for (unsigned long used : taken) {
    if (used == number) ++number;
  }
  char boundary[kBoundaryLength + 1];
  std::snprintf(boundary, sizeof boundary, "%s%08lu", kBoundaryPrefix, number);
  return boundary;
}
