#include "queue/queue.h"

#include "gensock.h"
#include "platform/platform.h"
#include "queue/queue_entry.h"
#include "queue/queue_folder.h"
#include "quib/console.h"
#include "quib/exit_status.h"
#include "smtp/esmtp.h"
#include "smtp/transport_error.h"

namespace {

// Transport failures that may pass: the network or the server is away or
// slow. A certificate, a TLS setup or a missing library will not mend itself.
const int kPassingTransportCodes[] = {
    GENSOCK_ERR_SEND,    GENSOCK_ERR_NOT_READY, GENSOCK_ERR_RESOLVE_HOST,
    GENSOCK_ERR_SOCKET,  GENSOCK_ERR_READ,      GENSOCK_ERR_WAIT,
    GENSOCK_ERR_CONNECT, GENSOCK_ERR_DROPPED,   GENSOCK_ERR_REFUSED,
};

// As much of a server's text as a reason shows (as the login's refusal does).
constexpr std::size_t kReasonMostChars = 200;

std::string printable(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (out.size() == kReasonMostChars) break;
    out += c >= ' ' && c < 127 ? c : '?';
  }
  return out;
}

// The text passed through, failing when it ends short of or runs past the
// length that the entry's head states.
class CountedText : public TextSource {
 public:
  CountedText(TextSource* inner, std::uint64_t length) : inner_(inner), left_(length) {}
  int next(const char** bytes, std::size_t* length) override {
    const int got = inner_->next(bytes, length);
    if (got == 0 && left_ != 0) return -1;
    if (got == 1 && *length > left_) return -1;
    if (got == 1) left_ -= *length;
    return got;
  }

 private:
  TextSource* inner_;
  std::uint64_t left_;
};

bool folder_ready(const std::string& dir, std::string* why) {
  return platform_make_private_folder(dir, why) == 0 &&
         platform_make_private_folder(queue_path(dir, kTmpFolder), why) == 0 &&
         platform_make_private_folder(queue_path(dir, kFailedFolder), why) == 0;
}

// The options that shape the entry's dialogue, as the flush reads them.
std::string entry_options(const std::string& envelope, bool eight_bit_body,
                          const std::string& message_id, const DeliveryOptions& delivery) {
  std::string options;
  const auto add = [&options](const std::string& word) {
    options += (options.empty() ? "" : " ") + word;
  };
  if (delivery.dsn[0] != '\0') {
    add(std::string(kOptionDsn) + dsn_notify(delivery.dsn));
    if (!message_id.empty()) add(kOptionMessageId + message_id);
  }
  if (eight_bit_body) add(kOption8BitMime);
  if (is_international(g_state.login) || is_international(envelope)) add(kOptionSmtpUtf8);
  if (delivery.skip_refused) add(kOptionSkipRefused);
  return options;
}

}  // namespace

bool failure_may_pass(const DialogueStep& failure) {
  if (failure.may_pass) return true;
  if (failure.transport_code != 0) {
    for (int code : kPassingTransportCodes) {
      if (failure.transport_code == code) return true;
    }
    return false;
  }
  return failure.reply_code >= 400 && failure.reply_code <= 499;
}

std::string failure_reason(const DialogueStep& failure) {
  std::string why;
  if (failure.transport_code != 0) {
    why = transport_error_message("gensock", failure.transport_code);
  } else if (failure.reply_code != 0 || !failure.reply.empty()) {
    why = failure.reply.empty() ? std::to_string(failure.reply_code) : failure.reply;
  } else {
    why = "no reply";
  }
  return printable((failure.step.empty() ? "" : failure.step + ": ") + why);
}

std::optional<int> open_queue_folder(std::string* dir) {
  std::string why;
  if (platform_queue_dir(dir) != 0) {
    why = "no queue folder: set QUIB_QUEUE_DIR or HOME";
  } else if (folder_ready(*dir, &why)) {
    return std::nullopt;
  }
  say("the queue folder cannot be used: " + why + "\naborting, nothing sent\n");
  return kExitNoServerOrSender;
}

int queue_message(TextSource* text, std::uint64_t length, const std::string& envelope,
                  bool eight_bit_body, const std::string& message_id, const QueueLogin& login,
                  const DeliveryOptions& options, const DialogueStep& failure) {
  std::string dir;
  platform_queue_dir(&dir);
  QueueEntry entry;
  entry.created = platform_now_seconds();
  entry.attempts = 1;
  entry.next_attempt = entry.created;
  entry.reason = failure_reason(failure);
  entry.server = g_state.smtp_server;
  entry.sender = g_state.login;
  entry.recipients = envelope;
  entry.login = login.user != nullptr;
  entry.user = login.user != nullptr ? login.user : "";
  entry.auth = login.auth;
  entry.options = entry_options(envelope, eight_bit_body, message_id, options);
  // Run again at each attempt; the file's path as seen from any folder.
  if (login.pass_command != nullptr) entry.passcmd = login.pass_command;
  if (login.oauth_file != nullptr) entry.oauth = platform_absolute_path(login.oauth_file);
  entry.message_bytes = length;
  const std::string id = new_entry_id(entry.created);
  std::string why;
  // A failure while connecting leaves its message without a line end.
  if (failure.step.rfind("connecting to ", 0) == 0) say("\n");
  CountedText counted(text, length);
  if (platform_store_durably(queue_path(dir, kTmpFolder, id), queue_path(dir, id),
                             format_entry_head(entry), tail_of(&counted), &why) != 0) {
    say("the message could not be queued: " + why + "\n");
    return kExitSmtpFailed;
  }
  say("queued: the message will be sent by quib -flush (" + entry.reason + ")\n");
  return kExitQueued;
}
