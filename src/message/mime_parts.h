// The pieces of a multipart/mixed message (RFC 2045, 2046, 2231): the
// content type of a file by its extension, the header of each part, and a
// boundary that occurs in no part.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The content type for a file name by its extension, ignoring case
// ("report.PDF" is application/pdf); application/octet-stream for any other.
const char* content_type_for(std::string_view file_name);

// What follows the last "/" or "\" of a path.
std::string_view base_name(std::string_view path);

// The Content-Type line of the body, and the Content-Transfer-Encoding line
// when it goes quoted-printable: "text/html" with html, then
// "; charset=<charset>" when charset is not empty.
std::string text_part_lines(bool html, std::string_view charset, bool encoded);

// The header of an attachment's part, its empty line included: its content
// type with name=, base64, and Content-Disposition: attachment with
// filename=, both the file's base name: a quoted string when it is
// printable ASCII without '"' and '\', else RFC 2231's extended form in the
// charset given (when empty: UTF-8 when the name is valid UTF-8, ISO-8859-1
// otherwise), in pieces cut between characters that keep each line within
// 78 characters.
std::string attachment_part_header(std::string_view path, std::string_view charset);

// True when the base name can stand as a Content-ID's left side as it is:
// one or more of A-Z, a-z, 0-9, ".", "_" and "-".
bool content_id_name(std::string_view base);

// The header of a file shown inside an HTML body, its empty line included:
// its content type, base64, "Content-ID: <" its base name ">" and
// Content-Disposition: inline with the name.
std::string embedded_part_header(std::string_view path);

// Boundaries are "=_quib_" and eight digits: "=_" can occur neither in
// base64 nor in quoted-printable text, so only the plain parts need looking
// at.
constexpr std::size_t kBoundaryLength = 15;

// The boundary with the smallest number that occurs in none of the parts.
std::string choose_boundary(const std::vector<std::string_view>& plain_parts);
