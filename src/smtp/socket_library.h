// Binding of the socket library loaded at run time.
#pragma once

#include <string>

#include "gensock.h"

// The seven entry points, filled by load_socket_library.
struct GensockApi {
  int (*connect)(const char* hostname, const char* service, gensock_handle_t* handle);
  int (*getchar)(gensock_handle_t handle, int wait, char* ch);
  int (*put_data)(gensock_handle_t handle, const char* data, unsigned long length);
  int (*close)(gensock_handle_t handle);
  int (*gethostname)(char* name, int size);
  int (*put_data_buffered)(gensock_handle_t handle, const char* data, unsigned long length);
  int (*put_data_flush)(gensock_handle_t handle);
  // Optional: null when the library does not announce what it offers
  // beyond the original contract (GENSOCK_CAN_* bits).
  int (*capabilities)();
  // Optional: null unless the library announces GENSOCK_CAN_PEER.
  int (*peer_address)(gensock_handle_t handle, char* address, int size);
};

extern GensockApi g_gensock;

// True when the loaded library announces the feature (a GENSOCK_CAN_* bit).
bool socket_library_can(int feature);

// Loads "gwinsock.dll", failing that "gensock.dll", into g_state.library and
// resolves the seven entry points in their fixed order, then the optional
// gensock_capabilities and what it announces. 0, or -1 after printing why
// (and, with `why`, saying it there in quib's words).
int load_socket_library(std::string* why = nullptr);

// Frees g_state.library (only after gensock_close succeeded).
void unload_socket_library();
