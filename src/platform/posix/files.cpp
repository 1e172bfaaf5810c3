// STUB: to be written.
#include "platform/platform.h"
int platform_open_for_reading(const char*, PlatformFile*) { return -1; }
bool platform_is_disk_file(const PlatformFile&) { return false; }
int platform_file_size(const PlatformFile&, std::uint64_t*) { return -1; }
int platform_read_exactly(const PlatformFile&, char*, std::uint64_t) { return -1; }
void platform_close_file(PlatformFile*) {}
int platform_delete_file(const char*) { return -1; }
int platform_temp_dir(std::string*) { return -1; }
int platform_create_temp_file(const std::string&, const char*, std::string*) { return -1; }
int platform_capture_console_input(const char*) { return -1; }
