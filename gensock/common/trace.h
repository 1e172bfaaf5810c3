// The trace of the library's own steps (gensock_set_trace): one line per
// step, handed to the caller's callback. Without a callback nothing is
// formatted: callers test tracing() before they build a line.
#pragma once

#include <string>

#include "gensock.h"

namespace gensock_common {

void set_trace(gensock_trace_t callback, void* context);
// The callback in force (null: none), and its context.
gensock_trace_t trace_callback(void** context);
bool tracing();
void trace(const std::string& line);

}  // namespace gensock_common
