// STUB: to be written.
#include "cli/usage.h"
const char* const usage_lines[] = {""};
const std::size_t usage_line_count = 0;
void print_usage() {}
