#include "queue/queue_folder.h"

#include <cstdio>

std::string queue_path(const std::string& dir, const std::string& name) {
  return dir + platform_path_separator() + name;
}

std::string queue_path(const std::string& dir, const std::string& folder, const std::string& name) {
  return queue_path(queue_path(dir, folder), name);
}

std::string new_entry_id(std::int64_t created) {
  unsigned char random[4];
  platform_random_bytes(random, sizeof random);
  char id[40];
  std::snprintf(id, sizeof id, "%lld-%02x%02x%02x%02x", static_cast<long long>(created), random[0],
                random[1], random[2], random[3]);
  return id;
}

bool is_entry_id(const std::string& name) {
  return !name.empty() && name.size() < 40 &&
         name.find_first_not_of("0123456789abcdef-") == std::string::npos;
}

HeldEntry::~HeldEntry() { platform_close_file(&file); }

int hold_entry(const std::string& path, HeldEntry* held) {
  const int locked = platform_open_locked(path, &held->file);
  if (locked != 0) return locked;
  std::uint64_t size = 0;
  if (platform_file_size(held->file, &size) != 0) return -1;
  // The head, or the whole file when it is shorter than the longest head.
  std::string bytes(
      size < kEntryHeadMostBytes ? static_cast<std::size_t>(size) : kEntryHeadMostBytes, '\0');
  if (!bytes.empty() && platform_read_exactly(held->file, &bytes[0], bytes.size(), nullptr) != 0) {
    return -1;
  }
  if (parse_entry_head(bytes, size, &held->entry, &held->head_bytes, &held->why) != 0) {
    return kEntryGarbled;
  }
  return 0;
}

namespace {

// The text is read in blocks of this size.
constexpr std::size_t kEntryBlockBytes = 256 * 1024;

int next_of(void* text, const char** bytes, std::size_t* length) {
  return static_cast<TextSource*>(text)->next(bytes, length);
}

}  // namespace

bool EntryText::read_more() {
  const std::size_t count =
      left_ < kEntryBlockBytes ? static_cast<std::size_t>(left_) : kEntryBlockBytes;
  const std::size_t had = buffer_.size();
  buffer_.resize(had + count);
  left_ -= count;
  return platform_read_exactly(held_.file, &buffer_[had], count, nullptr) == 0;
}

int EntryText::next(const char** bytes, std::size_t* length) {
  if (!started_) {
    started_ = true;
    left_ = held_.entry.message_bytes;
    if (platform_seek_file(held_.file, held_.head_bytes) != 0) return -1;
  }
  buffer_.erase(0, given_);  // the CRs held back stay
  given_ = 0;
  std::size_t searched = 0;  // the header block's end is looked for past this
  for (;;) {
    if (left_ > 0 && !read_more()) return -1;
    if (buffer_.empty()) return 0;
    std::size_t cut = buffer_.size();
    if (left_ > 0 && !header_given_) {
      const bool whole = buffer_.find("\r\n\r\n", searched) != std::string::npos;
      searched = cut > 3 ? cut - 3 : 0;
      if (!whole) continue;
    }
    // A line end is never cut in two: CRs at the block's end go with the next.
    while (left_ > 0 && cut > 0 && buffer_[cut - 1] == '\r') --cut;
    if (cut == 0) continue;
    header_given_ = true;
    given_ = cut;
    *bytes = buffer_.data();
    *length = cut;
    return 1;
  }
}

PlatformTail tail_of(TextSource* text) { return PlatformTail{next_of, text}; }

int rewrite_entry(const std::string& dir, const std::string& path, const HeldEntry& held,
                  const QueueEntry& entry) {
  std::string why;
  const std::string tmp = queue_path(dir, kTmpFolder, new_entry_id(entry.created) + ".new");
  EntryText message(held);
  return platform_store_durably(tmp, path, format_entry_head(entry), tail_of(&message), &why);
}

std::vector<std::string> split_recipients(const std::string& list) {
  const char kSeparators[] = " ,\n\t\r";  // as the dialogue splits the list into RCPT
  std::vector<std::string> names;
  std::size_t begin = list.find_first_not_of(kSeparators);
  while (begin != std::string::npos) {
    const std::size_t end = list.find_first_of(kSeparators, begin);
    names.push_back(list.substr(begin, end == std::string::npos ? end : end - begin));
    begin = list.find_first_not_of(kSeparators, end);
  }
  return names;
}

std::string recipients_text(const std::string& list) {
  const std::vector<std::string> names = split_recipients(list);
  if (names.empty()) return "<unspecified>";
  if (names.size() == 1) return names[0];
  return names[0] + " and " + std::to_string(names.size() - 1) + " more";
}

std::string span_text(std::int64_t seconds) {
  if (seconds < 0) seconds = 0;
  if (seconds < 60) return std::to_string(seconds) + "s";
  if (seconds < 3600) return std::to_string(seconds / 60) + "m";
  if (seconds < 86400) return std::to_string(seconds / 3600) + "h";
  return std::to_string(seconds / 86400) + "d";
}
