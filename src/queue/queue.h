// The queue of messages that could not go yet (-queue), and the commands
// that work on it (-flush, -queue-list, -queue-drop, -queue-retry). Each
// entry is one file of the queue folder (queue/queue_entry.h); tmp/ holds
// entries being written, failed/ those plainly refused or too old.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "quib/mailer_state.h"
#include "quib/text_source.h"
#include "smtp/smtp_dialogue.h"

// The words of an entry's options: -dsn's NOTIFY value and the Message-ID
// that gives ENVID, an 8-bit body (BODY=8BITMIME), an address that needs
// SMTPUTF8, and -rcpt-skip-refused.
constexpr char kOptionDsn[] = "dsn=";
constexpr char kOptionMessageId[] = "msgid=";
constexpr char kOption8BitMime[] = "8bitmime";
constexpr char kOptionSmtpUtf8[] = "smtputf8";
constexpr char kOptionSkipRefused[] = "skip-refused";

// True when the dialogue's failure may pass: the server could not be
// resolved or reached, a time limit struck, the connection was lost (before
// the final reply to the end of data), or a reply was 4xx.
bool failure_may_pass(const DialogueStep& failure);

// The failure in one line: the step and the server's reply or the
// transport error, printable ASCII only, at most 200 characters.
std::string failure_reason(const DialogueStep& failure);

// Makes the queue folder (owner only) when missing and checks that others
// cannot write it; its path in *dir. Nothing, or kExitNoServerOrSender
// after printing why.
std::optional<int> open_queue_folder(std::string* dir);

// Who logs in (-u; null: no login), how (-auth), where the secret comes from.
struct QueueLogin {
  const char* user = nullptr;
  const char* auth = "";
  const char* pass_command = nullptr;  // -passcmd
  const char* oauth_file = nullptr;    // -oauth
};

// Stores exactly `length` bytes pulled from `text` as a new entry, due at once, with what its
// dialogue needs (g_state's sender and server, the rest as parameters) and the reason from
// `failure`; prints "queued: ...". kExitQueued, or kExitSmtpFailed after printing why (nothing
// is left behind then).
int queue_message(TextSource* text, std::uint64_t length, const std::string& envelope,
                  bool eight_bit_body, const std::string& message_id, const QueueLogin& login,
                  const DeliveryOptions& options, const DialogueStep& failure);

// Tries every due entry, one line per entry tried; prepare_login takes an entry's login, finds
// its secret and fills *with (nothing, or a status when none is found, and in *failure why).
// kExitSmtpFailed when an entry moved to failed/, kExitQueued when some wait, else kExitSent.
// A missing queue folder is an empty queue.
using PrepareLogin = std::optional<int> (*)(const QueueLogin& login, SmtpLogin* with,
                                            DialogueStep* failure);
int flush_queue(PrepareLogin prepare_login);

// One line per entry, then those in failed/. kExitSent.
int list_queue();
// Removes the entry `id` (or all, from the queue and failed/). kExitSent, or
// kExitNoMessageFile when no entry has that id.
int drop_entries(const char* id);
// Moves the entry `id` (or all) back from failed/, due at once. kExitSent,
// or kExitNoMessageFile when failed/ holds no entry of that id.
int retry_entries(const char* id);
