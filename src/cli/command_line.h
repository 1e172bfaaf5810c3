// The command line: from argc/argv to a filled g_state, or an exit status.
#pragma once

#include <optional>

// Sets g_state.quiet and g_state.mime when any argument from 1 on is "-q" or
// "-mime", ignoring case.
void prescan_flags(int argc, const char* const* argv);

// Walks the arguments once, filling g_state. Returns an exit status that
// ends the run, or nothing when the run goes on.
std::optional<int> parse_command_line(int argc, const char* const* argv);

// True when name is "-", or names a file that can be opened for reading.
bool message_file_exists(const char* name);

// The whole program: everything main does, returning the exit status.
int quib_main(int argc, const char* const* argv);
