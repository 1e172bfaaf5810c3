// Paths and entries inside the queue folder, shared by the queue's commands.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "queue/queue_entry.h"
#include "quib/text_source.h"

constexpr const char* kTmpFolder = "tmp";
constexpr const char* kFailedFolder = "failed";

// dir/name, or dir/folder/name, with the platform's separator.
std::string queue_path(const std::string& dir, const std::string& name);
std::string queue_path(const std::string& dir, const std::string& folder, const std::string& name);

// A new entry's id: its creation time and random hex, so that ids sort by age.
std::string new_entry_id(std::int64_t created);
// True when the name can be an entry's id (never a path).
bool is_entry_id(const std::string& name);

// An entry open and locked, its head read.
struct HeldEntry {
  PlatformFile file;
  QueueEntry entry;
  std::size_t head_bytes = 0;
  std::string why;  // why the head was refused
  ~HeldEntry();
};

// Opens, locks and reads the entry at path. 0; kLockBusy or kEntryGone
// (another flush has it or had it); kEntryGarbled with held->why; or -1.
constexpr int kEntryGarbled = -4;
int hold_entry(const std::string& path, HeldEntry* held);

// An entry's message text read from its file a block at a time, so that a
// message of any size takes the same memory; a file that ends early or
// fails to read fails the text. The first block holds the whole header
// block, and no block but the last ends with a CR.
class EntryText : public TextSource {
 public:
  explicit EntryText(const HeldEntry& held) : held_(held) {}
  int next(const char** bytes, std::size_t* length) override;

 private:
  bool read_more();
  const HeldEntry& held_;
  bool started_ = false;
  bool header_given_ = false;
  std::uint64_t left_ = 0;  // bytes of the text not read yet
  std::string buffer_;      // what was read and not handed out, from its start
  std::size_t given_ = 0;   // bytes at the start of buffer_ handed out last
};

// The blocks of a message text as the platform's durable store pulls them.
PlatformTail tail_of(TextSource* text);

// Writes the entry's head anew, with its message, over `path` (durably).
int rewrite_entry(const std::string& dir, const std::string& path, const HeldEntry& held,
                  const QueueEntry& entry);

// The envelope recipients of a joined list, in order.
std::vector<std::string> split_recipients(const std::string& list);
// "<first>" or "<first> and N more".
std::string recipients_text(const std::string& list);
// A span of seconds as "45s", "12m", "3h" or "2d".
std::string span_text(std::int64_t seconds);
