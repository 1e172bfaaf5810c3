// What the benchmark programs share: reading the input file they are handed.
#pragma once

#include <cstdio>
#include <vector>

// The whole file, or nothing when it cannot be read.
inline std::vector<char> read_file(const char* name) {
  std::vector<char> data;
  std::FILE* file = std::fopen(name, "rb");
  if (!file) return data;
  char chunk[1 << 16];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
    data.insert(data.end(), chunk, chunk + got);
  std::fclose(file);
  return data;
}
