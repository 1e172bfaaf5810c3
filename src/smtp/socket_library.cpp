#include "smtp/socket_library.h"

#include <string>

#include "platform/platform.h"
#include "quib/console.h"
#include "quib/mailer_state.h"

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

void* load_first_library() {
  for (const char* name : kLibraryNames) {
    void* library = platform_load_library(name);
    if (library != nullptr) return library;
  }
  return nullptr;
}

}  // namespace

int load_socket_library() {
  g_state.library = load_first_library();
  if (g_state.library == nullptr) {
    say("Couldn't load either 'GWINSOCK.DLL' or 'GENSOCK.DLL'\nInstall one of these in your path.");
    return -1;
  }
  void* symbols[kEntryPoints] = {};
  for (int i = 0; i < kEntryPoints; ++i) {
    symbols[i] = platform_find_symbol(g_state.library, kEntryPointNames[i]);
    if (symbols[i] == nullptr) {
      say(std::string("couldn't getprocaddress for ") + kEntryPointNames[i] + "\n");
      return -1;
    }
  }
  bind_all(symbols);
  bind(platform_find_symbol(g_state.library, kCapabilitiesName), &g_gensock.capabilities);
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
