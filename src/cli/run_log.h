// The opening and closing lines of a run's transcript (-debug, -log).
#pragma once

#include <optional>

// Starts the transcript that g_options asks for and writes its opening line:
// the local date and time, quib's version and the command line, every
// secret replaced. Nothing, or kExitNoServerOrSender after printing that
// the log cannot be opened (nothing has been sent).
std::optional<int> open_run_log(int argc, const char* const* argv);

// Writes the closing line (the exit status and its meaning) and ends the
// transcript.
void close_run_log(int status);
