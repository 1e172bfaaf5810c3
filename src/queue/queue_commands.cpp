// -queue-list, -queue-drop and -queue-retry.
#include <vector>

#include "platform/platform.h"
#include "queue/queue.h"
#include "queue/queue_folder.h"
#include "quib/console.h"
#include "quib/exit_status.h"

namespace {

// The ids in the folder (dir, or dir/folder).
std::vector<std::string> entry_ids(const std::string& dir) {
  std::vector<std::string> names;
  std::vector<std::string> ids;
  platform_list_files(dir, &names);
  for (const std::string& name : names) {
    if (is_entry_id(name)) ids.push_back(name);
  }
  return ids;
}

void list_entry(const std::string& path, const std::string& id, bool failed, std::int64_t now) {
  HeldEntry held;
  const int state = hold_entry(path, &held);
  if (state == kLockBusy) {
    say(id + "  being sent\n");
    return;
  }
  if (state != 0) {
    say(id + (failed ? "  failed" : "") + "  unreadable: " + held.why + "\n");
    return;
  }
  const QueueEntry& entry = held.entry;
  std::string line = id + (failed ? "  failed" : "") + "  age " + span_text(now - entry.created) +
                     "  attempts " + std::to_string(entry.attempts);
  if (!failed) {
    line += entry.next_attempt > now ? "  next in " + span_text(entry.next_attempt - now)
                                     : std::string("  next now");
  }
  say(line + "  to " + recipients_text(entry.recipients) + "  " + entry.reason + "\n");
}

// The queue folder when it exists and others cannot write it; a status otherwise.
std::optional<int> existing_queue(std::string* dir) {
  std::vector<std::string> names;
  if (platform_queue_dir(dir) != 0 || platform_list_files(*dir, &names) != 0) return kExitSent;
  return open_queue_folder(dir);
}

int no_entry_status(const char* id) {
  say(std::string("no queue entry ") + id + "\n");
  return kExitNoMessageFile;
}

// Back in the queue, due at once; the age counts anew from now.
bool retry_entry(const std::string& dir, const std::string& id) {
  const std::string failed = queue_path(dir, kFailedFolder, id);
  HeldEntry held;
  if (hold_entry(failed, &held) == 0) {
    QueueEntry entry = held.entry;
    entry.created = entry.next_attempt = platform_now_seconds();
    entry.attempts = 0;
    if (rewrite_entry(dir, queue_path(dir, id), held, entry) != 0) return false;
    return platform_remove_file(failed) == 0;
  }
  return platform_move_durably(failed, queue_path(dir, id)) == 0;
}

}  // namespace

int list_queue() {
  std::string dir;
  if (std::optional<int> status = existing_queue(&dir)) return *status;
  const std::int64_t now = platform_now_seconds();
  for (const std::string& id : entry_ids(dir)) list_entry(queue_path(dir, id), id, false, now);
  for (const std::string& id : entry_ids(queue_path(dir, kFailedFolder))) {
    list_entry(queue_path(dir, kFailedFolder, id), id, true, now);
  }
  return kExitSent;
}

int drop_entries(const char* id) {
  std::string dir;
  const bool all = std::string(id) == "all";
  std::optional<int> status = existing_queue(&dir);
  if (status) return *status == kExitSent && !all ? no_entry_status(id) : *status;
  bool dropped = false;
  for (const std::string& folder : {dir, queue_path(dir, kFailedFolder)}) {
    for (const std::string& name : entry_ids(folder)) {
      if (all || name == id) dropped |= platform_remove_file(queue_path(folder, name)) == 0;
    }
  }
  return dropped || all ? kExitSent : no_entry_status(id);
}

int retry_entries(const char* id) {
  std::string dir;
  const bool all = std::string(id) == "all";
  std::optional<int> status = existing_queue(&dir);
  if (status) return *status == kExitSent && !all ? no_entry_status(id) : *status;
  bool moved = false;
  for (const std::string& name : entry_ids(queue_path(dir, kFailedFolder))) {
    if (all || name == id) moved |= retry_entry(dir, name);
  }
  return moved || all ? kExitSent : no_entry_status(id);
}
