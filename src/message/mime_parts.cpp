// The pieces of a multipart/mixed message.
#include "message/mime_parts.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

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

bool same_ignoring_case(std::string_view a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != b[i]) return false;
  }
  return true;
}

bool printable_ascii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= 32 && c < 127; });
}

}  // namespace

bool valid_utf8(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if ((lead >= 0x80 && lead < 0xC2) || lead > 0xF4 || at + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[at + k]) & 0xC0) != 0x80) return false;
    }
    at += length;
  }
  return true;
}

namespace {

// RFC 2231's attribute-char: what stands as itself in an extended value.
bool attribute_char(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         (c != 0 && std::strchr("!#$&+-.^_`|~", c) != nullptr);
}

// The name's bytes as RFC 2231 extended-value pieces ("%C3%BC" for ü), cut
// between whole escapes so that the first fits in first_room characters and
// each other in room.
std::vector<std::string> extended_pieces(std::string_view name, std::size_t first_room,
                                         std::size_t room) {
  const char* digits = "0123456789ABCDEF";
  std::vector<std::string> pieces(1);
  for (unsigned char c : name) {
    std::string escape(1, static_cast<char>(c));
    if (!attribute_char(c)) escape = {'%', digits[c >> 4], digits[c & 15]};
    const std::size_t most = pieces.size() == 1 ? first_room : room;
    if (!pieces.back().empty() && pieces.back().size() + escape.size() > most) {
      pieces.emplace_back();
    }
    pieces.back() += escape;
  }
  return pieces;
}

// The Content-Disposition line (folded) for a file's base name.
std::string disposition_lines(std::string_view name, std::string_view charset) {
  std::string lines = "Content-Disposition: attachment;";
  if (printable_ascii(name)) {
    std::string quoted = "filename=\"";
    for (char c : name) {
      if (c == '"' || c == '\\') quoted += '\\';
      quoted += c;
    }
    quoted += '"';
    const bool fits = lines.size() + 1 + quoted.size() <= kLineMost;
    return lines + (fits ? " " : "\r\n ") + quoted + "\r\n";
  }
  std::string declared(charset);
  if (declared.empty()) declared = valid_utf8(name) ? "utf-8" : "ISO-8859-1";
  const std::string head = declared + "''";
  // " filename*NN*=" and ";" leave the rest of a line for the value.
  constexpr std::size_t kPieceRoom = kLineMost - 16;
  const std::vector<std::string> pieces =
      extended_pieces(name, kPieceRoom - std::min(head.size(), kPieceRoom / 2), kPieceRoom);
  if (pieces.size() == 1) return lines + "\r\n filename*=" + head + pieces[0] + "\r\n";
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    lines += "\r\n filename*" + std::to_string(i) + "*=" + (i == 0 ? head : "") + pieces[i];
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
    if (same_ignoring_case(extension, row.extension)) return row.type;
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
  return std::string("Content-Type: ") + content_type_for(path) +
         "\r\nContent-Transfer-Encoding: base64\r\n" + disposition_lines(base_name(path), charset) +
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
