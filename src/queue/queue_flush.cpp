// -flush: every due entry through the dialogue, one at a time, each under
// its lock; entries that share server and login share one connection.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "queue/queue.h"
#include "queue/queue_folder.h"
#include "quib/console.h"
#include "quib/exit_status.h"
#include "smtp/smtp_dialogue.h"
#include "smtp/smtp_login.h"

namespace {

constexpr std::int64_t kDaySeconds = 24 * 60 * 60;
constexpr std::int64_t kDefaultDays = 5;

// QUIB_QUEUE_DAYS: a whole number of days above 0; anything else is the default.
std::int64_t age_limit_seconds() {
  const char* text = std::getenv("QUIB_QUEUE_DAYS");
  if (text == nullptr || text[0] == '\0' || std::strlen(text) > 5)
    return kDefaultDays * kDaySeconds;
  std::int64_t days = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return kDefaultDays * kDaySeconds;
    days = days * 10 + (*c - '0');
  }
  return (days > 0 ? days : kDefaultDays) * kDaySeconds;
}

double random_fraction() {
  std::uint32_t bits = 0;
  platform_random_bytes(&bits, sizeof bits);
  return static_cast<double>(bits) / 4294967296.0;
}

// The entry's options as words.
std::vector<std::string> option_words(const std::string& options) {
  std::vector<std::string> words;
  for (std::size_t begin = 0; begin < options.size();) {
    std::size_t end = options.find(' ', begin);
    if (end == std::string::npos) end = options.size();
    if (end > begin) words.push_back(options.substr(begin, end - begin));
    begin = end + 1;
  }
  return words;
}

bool starts_with(const std::string& word, const char* prefix) {
  return word.compare(0, std::strlen(prefix), prefix) == 0;
}

// Entries with the same key go through one connection: each message's own
// Message-ID does not part them.
std::string session_key(const QueueEntry& entry) {
  std::string options;
  for (const std::string& word : option_words(entry.options)) {
    if (!starts_with(word, kOptionMessageId)) options += word + ' ';
  }
  return entry.server + '\n' + (entry.login ? "1" : "0") + entry.user + '\n' + entry.auth + '\n' +
         entry.passcmd + '\n' + entry.oauth + '\n' + options;
}

// The entry's options in *options (*dsn keeps -dsn's value) and
// *message_id; true when its body is 8-bit.
bool take_options(const QueueEntry& entry, std::string* dsn, std::string* message_id,
                  DeliveryOptions* options) {
  dsn->clear();
  *options = DeliveryOptions();
  for (const std::string& word : option_words(entry.options)) {
    if (starts_with(word, kOptionDsn)) *dsn = word.substr(std::strlen(kOptionDsn));
    if (starts_with(word, kOptionMessageId)) {
      *message_id = word.substr(std::strlen(kOptionMessageId));
    }
    if (word == kOption8BitMime) options->eight_bit = true;
    if (word == kOptionSkipRefused) options->skip_refused = true;
  }
  options->dsn = dsn->c_str();
  return options->eight_bit;
}

struct Planned {
  std::string key;
  std::string id;
  bool operator<(const Planned& other) const {
    return key != other.key ? key < other.key : id < other.id;
  }
};

// The connection of the flush, and the failure that closed the last one.
struct Session {
  bool open = false;
  std::string key;
  std::string dsn;         // the entry's -dsn value, which options.dsn points to
  std::string failed_key;  // a key whose connection failed in a way that may pass
  DialogueStep failure;
  DeliveryOptions options;  // the entry's
  SmtpSession smtp;         // what the connection met; step: why the entry failed
};

struct Tally {
  int failed = 0;
  int waiting = 0;
};

void report(const char* what, const std::string& id, const QueueEntry& entry,
            const std::string& reason) {
  say(std::string(what) + " " + id + " to " + recipients_text(entry.recipients) +
      (reason.empty() ? "" : ": " + reason) + "\n");
}

void close_session(Session* session) {
  if (!session->open) return;
  smtp_quit();
  smtp_disconnect();
  session->open = false;
}

// The run's state for the entry's connection.
void take_settings(const QueueEntry& entry) {
  const std::size_t length = std::min(entry.server.size(), kServerBytes - 1);
  std::memcpy(g_state.smtp_server, entry.server.data(), length);
  g_state.smtp_server[length] = '\0';
}

// Results of send_entry besides 0 (sent) and -1 (session->smtp.step says why).
constexpr int kNoSecret = -2;
constexpr int kEntryUnreadable = -3;  // its text failed to read while it was sent

int open_for(const QueueEntry& entry, const std::string& key, Session* session,
             PrepareLogin prepare_login) {
  DialogueStep* failure = &session->smtp.step;
  if (session->open && session->key == key && smtp_ended(smtp_reset(&session->smtp), *failure) == 0)
    return 0;
  close_session(session);
  take_settings(entry);
  *failure = DialogueStep();
  const QueueLogin login{entry.login ? entry.user.c_str() : nullptr, entry.auth.c_str(),
                         entry.passcmd.empty() ? nullptr : entry.passcmd.c_str(),
                         entry.oauth.empty() ? nullptr : entry.oauth.c_str()};
  SmtpLogin with;
  if (prepare_login(login, &with, failure)) return failure->may_pass ? -1 : kNoSecret;
  const int opened =
      smtp_open_session(entry.sender.c_str(), entry.recipients,
                        login.user != nullptr ? &with : nullptr, session->options, &session->smtp);
  if (smtp_ended(opened, *failure) != 0) return -1;
  session->open = true;
  session->key = key;
  return 0;
}

int send_entry(const HeldEntry& held, Session* session, PrepareLogin prepare_login) {
  const QueueEntry& entry = held.entry;
  const std::string key = session_key(entry);
  std::string message_id;
  const bool eight_bit_body = take_options(entry, &session->dsn, &message_id, &session->options);
  session->smtp.refused.clear();
  if (key == session->failed_key) {
    session->smtp.step = session->failure;  // the server is still away: not tried again now
    return -1;
  }
  const int opened = open_for(entry, key, session, prepare_login);
  if (opened == -1 && failure_may_pass(session->smtp.step)) {
    session->failed_key = key;
    session->failure = session->smtp.step;
  }
  if (opened != 0) return opened;
  const int started = smtp_start_mail(entry.sender.c_str(), entry.recipients, eight_bit_body,
                                      message_id, session->options, &session->smtp);
  if (smtp_ended(started, session->smtp.step) != 0) {
    session->open = false;  // the dialogue closed it
    return -1;
  }
  EntryText message(held);
  const int finished =
      smtp_ended(smtp_finish_message(&message, &session->smtp), session->smtp.step);
  if (finished != 0) session->open = false;  // closed, by the dialogue or without the end marker
  return finished == kSourceFailed ? kEntryUnreadable : finished;
}

// Moves the entry to failed/, its head telling why when it can be read.
void fail_entry(const std::string& dir, const std::string& id, HeldEntry* held,
                const std::string& reason, Tally* tally) {
  const std::string failed = queue_path(dir, kFailedFolder, id);
  if (platform_move_durably(queue_path(dir, id), failed) != 0) return;
  ++tally->failed;
  report("failed", id, held->entry, reason);
  if (!held->why.empty()) return;
  QueueEntry entry = held->entry;
  entry.reason = reason;
  rewrite_entry(dir, failed, *held, entry);
}

void wait_entry(const std::string& dir, const std::string& id, const HeldEntry& held,
                std::int64_t now, const DialogueStep& failure, Tally* tally) {
  QueueEntry entry = held.entry;
  entry.attempts += 1;
  entry.next_attempt = now + retry_delay_seconds(held.entry.attempts, random_fraction());
  entry.reason = failure_reason(failure);
  rewrite_entry(dir, queue_path(dir, id), held, entry);
  ++tally->waiting;
  report("waiting", id, entry,
         entry.reason + "; next attempt in " + span_text(entry.next_attempt - now));
}

void try_entry(const std::string& dir, const std::string& id, Session* session, Tally* tally,
               PrepareLogin prepare_login) {
  HeldEntry held;
  const int state = hold_entry(queue_path(dir, id), &held);
  if (state == kEntryGarbled) return fail_entry(dir, id, &held, "unreadable: " + held.why, tally);
  if (state != 0) return;  // another flush has it, or sent it
  const std::int64_t now = platform_now_seconds();
  const std::int64_t limit = age_limit_seconds();
  if (now - held.entry.created > limit) {
    return fail_entry(dir, id, &held, "older than " + span_text(limit), tally);
  }
  if (held.entry.next_attempt > now) {
    ++tally->waiting;
    return;
  }
  // The dialogue's own messages stay unprinted: one line per entry says it all.
  const int quiet = g_state.quiet;
  g_state.quiet = 1;
  const int sent = send_entry(held, session, prepare_login);
  g_state.quiet = quiet;
  if (sent == 0) {
    platform_remove_file(queue_path(dir, id));
    std::string refused;
    for (const std::string& name : session->smtp.refused) {
      refused += (refused.empty() ? "refused " : ", ") + name;
    }
    report("sent", id, held.entry, refused);
  } else if (sent == kEntryUnreadable) {
    fail_entry(dir, id, &held, "unreadable: the message text could not be read", tally);
  } else if (sent == kNoSecret) {
    const DialogueStep& failure = session->smtp.step;
    fail_entry(dir, id, &held,
               failure.reply.empty() ? "no password found for " + held.entry.user
                                     : failure_reason(failure),
               tally);
  } else if (failure_may_pass(session->smtp.step)) {
    wait_entry(dir, id, held, now, session->smtp.step, tally);
  } else {
    fail_entry(dir, id, &held, failure_reason(session->smtp.step), tally);
  }
}

// The entries in the order they go: grouped by connection, oldest first.
std::vector<Planned> plan(const std::string& dir, const std::vector<std::string>& names) {
  std::vector<Planned> planned;
  for (const std::string& id : names) {
    if (!is_entry_id(id)) continue;
    HeldEntry held;
    const int state = hold_entry(queue_path(dir, id), &held);
    if (state == 0 || state == kEntryGarbled) {
      planned.push_back({state == 0 ? session_key(held.entry) : std::string(), id});
    }
  }
  std::sort(planned.begin(), planned.end());
  return planned;
}

}  // namespace

int flush_queue(PrepareLogin prepare_login) {
  std::string dir;
  std::vector<std::string> names;
  if (platform_queue_dir(&dir) != 0 || platform_list_files(dir, &names) != 0) return kExitSent;
  if (std::optional<int> status = open_queue_folder(&dir)) return *status;
  Session session;
  Tally tally;
  for (const Planned& planned : plan(dir, names)) {
    try_entry(dir, planned.id, &session, &tally, prepare_login);
  }
  const int quiet = g_state.quiet;
  g_state.quiet = 1;
  close_session(&session);
  g_state.quiet = quiet;
  if (tally.failed > 0) return kExitSmtpFailed;
  return tally.waiting > 0 ? kExitQueued : kExitSent;
}
