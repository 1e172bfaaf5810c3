// One queued message: a small, versioned, line-based head, then the
// message text exactly as it was built. The head holds everything a later
// attempt needs and no secret:
//
//   quib-queue 1
//   created <seconds since 1970, UTC>
//   attempts <count>
//   next <seconds: the next attempt is due from then>
//   reason <why the last attempt did not deliver>
//   server <as typed>
//   sender <envelope sender>
//   recipients <envelope recipient list>
//   login <0 or 1>
//   user <-u>
//   auth <-auth>
//   passcmd <a command that prints the secret>
//   oauth <the token file's path>
//   options <options that shape the dialogue, space separated>
//   bytes <the message text's length>
//   <an empty line>
//   <the message text>
//
// Every line ends with LF; in values the bytes below 32, 127 and '%' are
// written as %XX.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct QueueEntry {
  std::int64_t created = 0;
  std::int64_t attempts = 0;
  std::int64_t next_attempt = 0;
  std::string reason;
  std::string server;
  std::string sender;
  std::string recipients;
  bool login = false;
  std::string user;
  std::string auth;
  std::string passcmd;
  std::string oauth;
  std::string options;
  std::uint64_t message_bytes = 0;
};

// The head of the entry, its empty line included.
std::string format_entry_head(const QueueEntry& entry);

// Reads the head at the start of a file of file_size bytes (bytes holds at
// least the head, or the whole file when it is shorter). Every line must
// stand in its place, every number be plain decimal, and the file hold
// exactly the head and message_bytes more. 0 with the head's length in
// *head_bytes, or -1 with the reason in *why.
int parse_entry_head(std::string_view bytes, std::uint64_t file_size, QueueEntry* entry,
                     std::size_t* head_bytes, std::string* why);

// A head is never longer than this: the recipient list is the long part.
constexpr std::size_t kEntryHeadMostBytes = 1 << 20;

// The delay after the `failures`-th failed flush of an entry, in seconds:
// 1, 2, 4, ... minutes, at most an hour, less up to a fifth taken by
// `jitter` (0 to 1).
std::int64_t retry_delay_seconds(std::int64_t failures, double jitter);
