// The loop both systems' platform_read_exactly run around their own read
// call. Included by the platform layer only.
#pragma once

#include <cstddef>
#include <cstdint>

// One read request at most: DWORD counts on Windows, and Linux moves at most
// about 2 GiB per call anyway.
constexpr std::uint64_t kReadChunkBytes = std::uint64_t{1} << 30;

// Fills buffer with size bytes by calls of read_some(at, want), which returns
// the count read (0 at the end of the file) or -1 on an error. Without got,
// an early end is an error; with it, *got is the count read. 0, or -1.
template <typename ReadSome>
int read_exactly(char* buffer, std::uint64_t size, std::uint64_t* got, ReadSome read_some) {
  std::uint64_t done = 0;
  while (done < size) {
    const std::uint64_t left = size - done;
    const long count = read_some(
        buffer + done, static_cast<std::size_t>(left < kReadChunkBytes ? left : kReadChunkBytes));
    if (count < 0 || (count == 0 && got == nullptr)) return -1;  // an error, or an early end
    if (count == 0) break;
    done += static_cast<std::uint64_t>(count);
  }
  if (got != nullptr) *got = done;
  return 0;
}
