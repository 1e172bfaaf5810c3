// The usage text.
#pragma once

#include <cstddef>

// The 23 lines of the usage text, without their line ends.
extern const char* const usage_lines[];
extern const std::size_t usage_line_count;

// Writes the usage text, each line followed by "\n" (nothing when quiet).
void print_usage();
