// Large message buffers on POSIX: anonymous mappings, huge pages asked for.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#include "platform/platform.h"

namespace {

// The huge page size of x86-64 and arm64 with 4 KiB pages; on a system with
// another size fewer pages are huge, nothing worse.
constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

// Maps length bytes (a multiple of the page size); from a huge page up,
// starting on a huge page boundary, so that every whole huge page of it can
// be one: the slack before and after the aligned part is given back at
// once. Null on failure.
char* map_aligned(std::size_t length) {
  const std::size_t slack = length >= kHugePageBytes ? kHugePageBytes : 0;
  const std::size_t mapped = length + slack;
  void* data = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (data == MAP_FAILED) return nullptr;
  char* start = static_cast<char*>(data);
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(start);
  char* aligned =
      slack == 0 ? start : start + (kHugePageBytes - at % kHugePageBytes) % kHugePageBytes;
  if (aligned > start) munmap(start, static_cast<std::size_t>(aligned - start));
  char* end = aligned + length;
  if (start + mapped > end) munmap(end, static_cast<std::size_t>(start + mapped - end));
  return aligned;
}

}  // namespace

int platform_reserve_large(std::uint64_t size, LargeBuffer* buffer) {
  *buffer = LargeBuffer{};
  const std::uint64_t page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  if (size == 0) size = 1;
  if (size > SIZE_MAX - page - kHugePageBytes) return -1;
  const std::size_t reserved = static_cast<std::size_t>((size + page - 1) / page * page);
  char* data = map_aligned(reserved);
  if (data == nullptr) return -1;
    // Filling 64 MiB then takes 32 page faults instead of 16,384: on a virtual
    // machine, where each fault is dear, most of the time of reading the body.
#ifdef MADV_HUGEPAGE
  if (reserved >= kHugePageBytes) madvise(data, reserved, MADV_HUGEPAGE);
#endif
  buffer->data = data;
  buffer->reserved = reserved;
  return 0;
}

void platform_release_large(LargeBuffer* buffer) {
  if (buffer->data != nullptr) munmap(buffer->data, buffer->reserved);
  *buffer = LargeBuffer{};
}
