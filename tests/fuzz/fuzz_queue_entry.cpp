// The queue entry's reader on any bytes: it refuses or accepts, never
// crashes, and what it accepts is exactly what the writer would write for
// the fields it read (so no two files read as the same entry, and the
// message it hands on is exactly the rest of the file).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "queue/queue_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  QueueEntry entry;
  std::size_t head_bytes = 0;
  std::string why;
  if (parse_entry_head(bytes, size, &entry, &head_bytes, &why) != 0) {
    if (why.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  if (format_entry_head(entry) != bytes.substr(0, head_bytes)) std::abort();
  if (head_bytes + entry.message_bytes != size) std::abort();
  return 0;
}
