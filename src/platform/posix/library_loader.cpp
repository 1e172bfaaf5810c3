// STUB: to be written.
#include "platform/platform.h"
void* platform_load_library(const char*) { return nullptr; }
void* platform_find_symbol(void*, const char*) { return nullptr; }
void platform_free_library(void*) {}
