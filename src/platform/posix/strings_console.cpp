// STUB: to be written.
#include "platform/platform.h"
int platform_compare(const char*, const char*) { return 1; }
int platform_compare_nocase(const char*, const char*) { return 1; }
bool platform_file_exists(const char*) { return false; }
void platform_write_stdout(const char*, std::size_t) {}
