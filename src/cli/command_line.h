// The command line: from argc/argv to a filled g_state, or an exit status.
#pragma once

// Sets g_state.quiet and g_state.mime when any argument from 1 on is "-q" or
// "-mime", ignoring case.
void prescan_flags(int argc, const char* const* argv);

// Result of parse_command_line when the run goes on.
constexpr int kContinueRun = -1000;
// Result of parse_command_line when -install could not store the settings:
// the run ends as for a missing message file, and never sends.
constexpr int kInstallNotStored = -1001;

// Walks the arguments once, filling g_state. Returns an exit status that
// ends the run, kInstallNotStored, or kContinueRun.
int parse_command_line(int argc, const char* const* argv);

// True when name is "-", or names a file that can be opened for reading.
bool message_file_exists(const char* name);

// The whole program: everything main does, returning the exit status.
int quib_main(int argc, const char* const* argv);
