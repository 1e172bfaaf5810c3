// Bytes for when the system's random source fails: the time and the process
// still tell runs apart. Included by the platform layer only.
#pragma once

#include <cstddef>
#include <ctime>

inline void fill_fallback_random(void* buffer, std::size_t length, unsigned long long process) {
  unsigned long long seed = static_cast<unsigned long long>(std::time(nullptr)) ^ (process << 32);
  unsigned char* out = static_cast<unsigned char*>(buffer);
  for (std::size_t i = 0; i < length; ++i) {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    out[i] = static_cast<unsigned char>(seed >> 56);
  }
}
