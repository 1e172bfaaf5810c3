#include "trace.h"

namespace gensock_common {

namespace {

gensock_trace_t g_callback = nullptr;
void* g_context = nullptr;

}  // namespace

void set_trace(gensock_trace_t callback, void* context) {
  g_callback = callback;
  g_context = context;
}

gensock_trace_t trace_callback(void** context) {
  *context = g_context;
  return g_callback;
}

bool tracing() { return g_callback != nullptr; }

void trace(const std::string& line) {
  if (g_callback != nullptr) g_callback(g_context, line.c_str());
}

}  // namespace gensock_common
