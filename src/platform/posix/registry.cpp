// STUB: to be written.
#include "platform/platform.h"
int registry_open_key(const char*, RegistryKey*) { return -1; }
int registry_create_key(const char*, RegistryKey*) { return -1; }
int registry_query_value(const RegistryKey&, const char*, std::uint32_t*, unsigned char*, std::uint32_t*) { return -1; }
int registry_set_value(const RegistryKey&, const char*, std::uint32_t, const unsigned char*, std::uint32_t) { return -1; }
