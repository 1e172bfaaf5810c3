// Console output of the mailer: everything goes to standard output, and
// nothing at all when g_state.quiet is set.
#pragma once

#include <string_view>

// Writes the text as it stands (no line end added) unless quiet is set.
void say(std::string_view text);
