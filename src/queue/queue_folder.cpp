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

HeldEntry::~HeldEntry() {
  platform_unmap_file(&view);
  platform_close_file(&file);
}

int hold_entry(const std::string& path, HeldEntry* held) {
  const int locked = platform_open_locked(path, &held->file);
  if (locked != 0) return locked;
  std::uint64_t size = 0;
  if (platform_file_size(held->file, &size) != 0) return -1;
  if (size > 0 && platform_map_file(held->file, static_cast<std::size_t>(size), &held->view) != 0) {
    return -1;
  }
  const std::string_view bytes(held->view.data, held->view.length);
  if (parse_entry_head(bytes, size, &held->entry, &held->head_bytes, &held->why) != 0) {
    return kEntryGarbled;
  }
  return 0;
}

int rewrite_entry(const std::string& dir, const std::string& path, const HeldEntry& held,
                  const QueueEntry& entry) {
  std::string why;
  const std::string tmp = queue_path(dir, kTmpFolder, new_entry_id(entry.created) + ".new");
  return platform_store_durably(tmp, path, format_entry_head(entry),
                                held.view.data + held.head_bytes, entry.message_bytes, &why);
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
