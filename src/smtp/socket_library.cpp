#include "smtp/socket_library.h"

#include <string>

#include "platform/platform.h"
#include "quib/console.h"
#include "quib/mailer_state.h"
#include "smtp/transcript.h"

GensockApi g_gensock;

namespace {

// Tried in this order; the first that loads is kept.
const char* const kLibraryNames[] = {"gwinsock.dll", "gensock.dll"};

// Looked up in this order; the order decides which name a failure reports.
const char* const kEntryPointNames[] = {
    "gensock_connect",     "gensock_getchar",           "gensock_put_data",       "gensock_close",
    "gensock_gethostname", "gensock_put_data_buffered", "gensock_put_data_flush",
};
constexpr int kEntryPoints = sizeof kEntryPointNames / sizeof kEntryPointNames[0];

// Converting an object pointer from the loader into a function pointer is
// what every run-time loader relies on.
template <typename Function>
void bind(void* symbol, Function* target) {
  *target = reinterpret_cast<Function>(symbol);
}

// Asked for after the seven; a library without it keeps the original contract.
const char kCapabilitiesName[] = "gensock_capabilities";

void bind_all(void* const symbols[kEntryPoints]) {
  bind(symbols[0], &g_gensock.connect);
  bind(symbols[1], &g_gensock.getchar);
  bind(symbols[2], &g_gensock.put_data);
  bind(symbols[3], &g_gensock.close);
  bind(symbols[4], &g_gensock.gethostname);
  bind(symbols[5], &g_gensock.put_data_buffered);
  bind(symbols[6], &g_gensock.put_data_flush);
}

// Asked for only when the library announces GENSOCK_CAN_TRACE.
const char kSetTraceName[] = "gensock_set_trace";

void* load_first_library() {
  for (const char* name : kLibraryNames) {
    void* library = platform_load_library(name);
    if (library != nullptr) {
      transcript_event(std::string("socket library ") + name + " loaded");
      return library;
    }
  }
  return nullptr;
}

void library_trace(void*, const char* line) { transcript_library_line(line); }

// The library's own steps join the transcript where it offers them; a
// library without them leaves the transcript to quib's side.
void start_library_trace() {
  if (!transcript_on()) return;
  void (*set_trace)(gensock_trace_t, void*) = nullptr;
  if (socket_library_can(GENSOCK_CAN_TRACE)) {
    bind(platform_find_symbol(g_state.library, kSetTraceName), &set_trace);
  }
  if (set_trace != nullptr) {
    set_trace(library_trace, nullptr);
  } else {
    transcript_event("the socket library keeps no trace of its own");
  }
}

}  // namespace

int load_socket_library() {
  g_state.library = load_first_library();
  if (g_state.library == nullptr) {
    say("Couldn't load either 'GWINSOCK.DLL' or 'GENSOCK.DLL'\nInstall one of these in your path.");
    transcript_reason("neither gwinsock.dll nor gensock.dll could be loaded");
    return -1;
  }
  void* symbols[kEntryPoints] = {};
  for (int i = 0; i < kEntryPoints; ++i) {
    symbols[i] = platform_find_symbol(g_state.library, kEntryPointNames[i]);
    if (symbols[i] == nullptr) {
      say(std::string("couldn't getprocaddress for ") + kEntryPointNames[i] + "\n");
      transcript_reason(std::string("the library lacks ") + kEntryPointNames[i]);
      return -1;
    }
  }
  bind_all(symbols);
  bind(platform_find_symbol(g_state.library, kCapabilitiesName), &g_gensock.capabilities);
  start_library_trace();
  return 0;
}

bool socket_library_can(int feature) {
  return g_gensock.capabilities != nullptr && (g_gensock.capabilities() & feature) == feature;
}

void unload_socket_library() {
  if (g_state.library != nullptr) platform_free_library(g_state.library);
  g_state.library = nullptr;
  g_gensock = GensockApi();  // no entry point outlives its library
}
