// STUB: to be written.
#include "smtp/socket_library.h"
GensockApi g_gensock;
int load_socket_library() { return -1; }
void unload_socket_library() {}
void use_socket_library_for_testing(const GensockApi*) {}
