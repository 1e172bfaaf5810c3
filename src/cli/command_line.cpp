// STUB: to be written.
#include "cli/command_line.h"
void prescan_flags(int, const char* const*) {}
int parse_command_line(int, const char* const*) { return 1; }
bool message_file_exists(const char*) { return false; }
int quib_main(int, const char* const*) { return 1; }
