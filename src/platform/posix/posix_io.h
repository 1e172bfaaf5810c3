// Small descriptor helpers shared by the POSIX backend's files.
#pragma once

#include <cstddef>

// Writes every byte, going on after interruptions and partial writes.
// 0 on success, -1 on an error.
int write_all(int fd, const void* data, std::size_t length);

// Opens an existing name for reading without blocking (a FIFO without a
// writer must not hang the run) and without becoming a controlling
// terminal. A folder is refused. The descriptor, or -1.
int open_existing_for_reading(const char* name);
