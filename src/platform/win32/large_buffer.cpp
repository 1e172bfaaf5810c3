// Large message buffers on Windows: committed pages cost memory only once
// touched; no huge pages (they need a privilege a mailer should not ask for).
#include <windows.h>

#include <cstdint>

#include "platform/platform.h"

int platform_reserve_large(std::uint64_t size, LargeBuffer* buffer) {
  *buffer = LargeBuffer{};
  if (size == 0) size = 1;
  if (size > SIZE_MAX) return -1;
  void* data =
      VirtualAlloc(nullptr, static_cast<SIZE_T>(size), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (data == nullptr) return -1;
  buffer->data = static_cast<char*>(data);
  buffer->reserved = static_cast<std::size_t>(size);
  return 0;
}

void platform_release_large(LargeBuffer* buffer) {
  if (buffer->data != nullptr) VirtualFree(buffer->data, 0, MEM_RELEASE);
  *buffer = LargeBuffer{};
}
