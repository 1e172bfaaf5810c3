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

// Converting an object pointer from the loader into a function pointer is
// what every run-time loader relies on.
template <typename Function>
void bind(void* symbol, Function* target) {
  *target = reinterpret_cast<Function>(symbol);
}

// One entry point: its name in the library and the member it fills.
struct EntryPoint {
  const char* name;
  void (*fill)(void* symbol);
};

template <auto Member>
void fill(void* symbol) {
  bind(symbol, &(g_gensock.*Member));
}

// Looked up in this order; the order decides which name a failure reports.
const EntryPoint kEntryPoints[] = {
    {"gensock_connect", fill<&GensockApi::connect>},
    {"gensock_getchar", fill<&GensockApi::getchar>},
    {"gensock_put_data", fill<&GensockApi::put_data>},
    {"gensock_close", fill<&GensockApi::close>},
    {"gensock_gethostname", fill<&GensockApi::gethostname>},
    {"gensock_put_data_buffered", fill<&GensockApi::put_data_buffered>},
    {"gensock_put_data_flush", fill<&GensockApi::put_data_flush>},
};

// Asked for after the seven; a library without it keeps the original contract.
const char kCapabilitiesName[] = "gensock_capabilities";

// Asked for only when the library announces GENSOCK_CAN_TRACE.
const char kSetTraceName[] = "gensock_set_trace";
// Asked for only when the library announces GENSOCK_CAN_PEER.
const char kPeerAddressName[] = "gensock_peer_address";

void* load_first_library() {
  for (const char* name : kLibraryNames) {
    void* library = platform_load_library(name);
    if (library != nullptr) {
      const std::string path = platform_library_path(library);
      transcript_event(std::string("socket library ") + name + " loaded" +
                       (path.empty() ? "" : " from " + path));
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

int load_socket_library(std::string* why) {
  g_state.library = load_first_library();
  if (g_state.library == nullptr) {
    say("Couldn't load either 'GWINSOCK.DLL' or 'GENSOCK.DLL'\nInstall one of these in your path.");
    if (why != nullptr) *why = "neither gwinsock.dll nor gensock.dll could be loaded";
    return -1;
  }
  for (const EntryPoint& entry : kEntryPoints) {
    void* symbol = platform_find_symbol(g_state.library, entry.name);
    if (symbol == nullptr) {
      say(std::string("couldn't getprocaddress for ") + entry.name + "\n");
      if (why != nullptr) *why = std::string("the library lacks ") + entry.name;
      return -1;
    }
    entry.fill(symbol);
  }
  bind(platform_find_symbol(g_state.library, kCapabilitiesName), &g_gensock.capabilities);
  if (socket_library_can(GENSOCK_CAN_PEER)) {
    bind(platform_find_symbol(g_state.library, kPeerAddressName), &g_gensock.peer_address);
  }
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
