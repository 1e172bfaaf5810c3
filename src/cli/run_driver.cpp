#include "cli/run_driver.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "cli/progress_line.h"
#include "cli/run_options.h"
#include "message/address_list.h"
#include "message/composer.h"
#include "platform/platform.h"
#include "queue/queue.h"
#include "quib/console.h"
#include "quib/exit_status.h"
#include "quib/mailer_state.h"
#include "smtp/esmtp.h"
#include "smtp/smtp_dialogue.h"
#include "smtp/smtp_login.h"
#include "smtp/transcript.h"

namespace {

// Where the session stands once the message is composed (-8bit opens it first).
constexpr int kSessionClosed = 0;
constexpr int kSessionOpen = 1;
constexpr int kSessionFailed = -1;  // under -queue, in a way that may pass

const char kNo8BitMime[] =
    "The mail server does not offer 8BITMIME: the body goes quoted-printable\n";

// A file of the run, read for the composer. A file whose size says 0 may
// still have content (the files of /proc) and is read whole to its real end
// first. A file that ends before its size is read to that end when it still
// reports the same size (a size that is a guess: the files of /sys say
// 4096); one whose size changed meanwhile shrank under the read, and fails it.
// An attachment on disk is streamed: read while it is sent, it must end
// exactly at the size taken before the connection, or the send fails;
// attachments that do not tell their size are read whole before.
class FileReader : public BlockReader {
 public:
  FileReader(const char* name, const PlatformFile& file) : name_(name), file_(file) {}
  const char* name() const { return name_; }
  int measure() { return platform_file_size(file_, &size_); }
  void close() { platform_close_file(&file_); }

  // An attachment: read whole now when its size tells nothing, else
  // streamed. 0, or -1 on a read error.
  int prepare_attachment() {
    if (size_ != 0 && !platform_is_pseudo_file(file_)) {
      streamed_ = true;
      return 0;
    }
    whole_read_ = true;
    if (platform_read_to_end(file_, &whole_) != 0) return -1;
    size_ = whole_.size();
    return 0;
  }

  std::uint64_t reported_size() const override { return size_; }

  int start(std::uint64_t* size) override {
    if (streamed_ && at_ != 0 && platform_seek_file(file_, 0) != 0) return -1;
    at_ = 0;  // a streamed attachment is read again for the queue
    if (!whole_read_ && !streamed_ && size_ == 0) {
      whole_read_ = true;
      if (platform_read_to_end(file_, &whole_) != 0) return -1;
    }
    *size = whole_read_ ? whole_.size() : size_;
    return 0;
  }

  std::int64_t read(char* block, std::size_t count) override {
    if (whole_read_) {
      std::memcpy(block, whole_.data() + at_, count);
      at_ += count;
      return static_cast<std::int64_t>(count);
    }
    std::uint64_t got = 0;
    std::uint64_t now = 0;
    if (platform_read_exactly(file_, block, count, &got) != 0) return -1;
    at_ += got;
    if (streamed_ && (got < count || at_ == size_)) {
      // Shrunk, or grown: what went out is no longer the file.
      if (got < count || platform_file_size(file_, &now) != 0 || now != size_) return -1;
    }
    if (got < count && (platform_file_size(file_, &now) != 0 || now != size_)) return -1;
    return static_cast<std::int64_t>(got);
  }

 private:
  const char* name_;
  PlatformFile file_;
  std::uint64_t size_ = 0;
  bool whole_read_ = false;
  bool streamed_ = false;
  std::string whole_;
  std::uint64_t at_ = 0;
};

void say_failure(const char* prefix, const char* name) {
  say(prefix);
  say(name);
  say(", aborting\n");
}

// Copies console input into a new temporary file, left open in *file, and
// points message_file at it.
std::optional<int> capture_console_input(PlatformFile* file) {
  std::string dir;
  platform_temp_dir(&dir);
  if (platform_capture_console_input(dir, "qbx", &temp_file_name, file) != 0) {
    say_failure("error opening temporary file ", temp_file_name.c_str());
    return kExitTempFile;
  }
  message_file = temp_file_name.c_str();
  return std::nullopt;
}

// Opens the body file or an attachment; the messages name the file.
std::optional<int> open_for_mailing(const char* name, bool attachment, PlatformFile* file) {
  const bool folder = attachment && platform_is_folder(name);
  if (!folder && platform_open_for_reading(name, file) != 0) {
    say_failure("error reading ", name);
    return kExitCantOpen;
  }
  if (folder || !platform_is_disk_file(*file)) {
    if (attachment) {
      say(name);
      say(": ");
    }
    say("Sorry, I can only mail messages from disk files...\n");
    return kExitNotDiskFile;
  }
  return std::nullopt;
}

std::optional<int> read_failure_status(const char* name) {
  say_failure("error reading ", name);
  return kExitReadFailed;
}

// The embedded files and the attachments, opened in order, closed when it
// goes.
struct Attachments {
  std::vector<FileReader> files;
  ~Attachments() {
    for (FileReader& file : files) file.close();
  }
};

std::optional<int> open_attachments(Attachments* attachments) {
  const MessageOptions& message = g_options.message;
  std::vector<const char*> names = message.embeds;
  names.insert(names.end(), message.attachments.begin(), message.attachments.end());
  attachments->files.reserve(names.size());
  for (const char* name : names) {
    PlatformFile file;
    const std::optional<int> status = open_for_mailing(name, true, &file);
    attachments->files.emplace_back(name, file);
    if (status) return status;
    FileReader& opened = attachments->files.back();
    if (opened.measure() != 0 || opened.prepare_attachment() != 0) return read_failure_status(name);
  }
  return std::nullopt;
}

// With -8bit the session is open before the message is composed: whether
// the body may go with its 8-bit bytes depends on what the server offers.
EightBit eight_bit_wanted(const SmtpSession& smtp) {
  if (!g_options.delivery.eight_bit) return EightBit::kNotAsked;
  return smtp.server_offers & kOffers8BitMime ? EightBit::kAllowed : EightBit::kRefused;
}

// Opens the session, logging in with -u; the transcript names what failed.
int open_session(const std::string& envelope, SmtpSession* smtp) {
  const SmtpLogin login = login_for_session(&g_options.login);
  const SmtpLogin* with = login.user != nullptr ? &login : nullptr;
  return smtp_ended(smtp_open_session(g_state.login, envelope, with, g_options.delivery, smtp),
                    smtp->step);
}

// Composes the head and body from the open message file and lays out the
// embedded files and the attachments after them.
std::optional<int> load_message(const char* typed_name, const PlatformFile& file,
                                Attachments* attachments, MessageText* text,
                                const SmtpSession& smtp) {
  if (std::optional<int> status = open_attachments(attachments)) return status;
  FileReader body(message_file, file);
  if (body.measure() != 0) return read_failure_status(message_file);
  const MessageOptions& message = g_options.message;
  MessageSpec recipe{&g_state, &message, typed_name, &body, {}, {}, eight_bit_wanted(smtp)};
  for (FileReader& open : attachments->files) {
    std::vector<AttachedFile>& into =
        recipe.embedded.size() < message.embeds.size() ? recipe.embedded : recipe.attachments;
    into.push_back({open.name(), &open});
  }
  const int failed = compose_message(recipe, text);
  if (text->long_line_encoded > 0) {
    transcript_event("the body has a line of " + std::to_string(text->long_line_encoded) +
                     " bytes, more than 998: it goes quoted-printable");
  }
  if (failed == 0) return std::nullopt;
  return read_failure_status(failed == 1 ? message_file : attachments->files[failed - 2].name());
}

void print_progress() {
  say(std::string("Sending ") + message_file + " to " +
      (g_state.recipients.empty() ? "<unspecified>" : g_state.recipients) + "\n");
  if (g_state.subject[0] != '\0') say(std::string("Subject:") + g_state.subject + "\n");
  say(std::string("Login name is ") + g_state.login + "\n");
}

// The file whose reading stopped a text pulled from stream.
const char* failed_file(const MessageStream& stream, const Attachments& attachments) {
  const int failed = stream.failed();
  return failed >= 2 ? attachments.files[failed - 2].name() : message_file;
}

// One transaction on the session (opened here unless -8bit opened it
// before composing) to the envelope's recipients; after a failure inside the
// dialogue nothing more is called. A file that fails while it is sent ends
// the run as a read error.
int send_message(const MessageText& text, const Attachments& attachments,
                 const std::string& envelope, bool session_open, SmtpSession* smtp) {
  const DeliveryOptions& options = g_options.delivery;
  if (!session_open) {
    if (int status = open_session(envelope, smtp)) return status;
  }
  if (options.eight_bit && text.form == BodyForm::kEncodedToNul &&
      !(smtp->server_offers & kOffers8BitMime)) {
    say(kNo8BitMime);
  }
  const int started = smtp_start_mail(g_state.login, envelope, text.form == BodyForm::kEightBit,
                                      g_options.message.message_id, options, smtp);
  if (int status = smtp_ended(started, smtp->step)) return status;
  MessageStream stream(text);
  ProgressLine progress(&stream, message_text_bytes(text));
  const int status = smtp_ended(smtp_finish_message(&progress, smtp), smtp->step);
  if (status == kSourceFailed) return *read_failure_status(failed_file(stream, attachments));
  if (status != 0) return status;
  smtp_quit();
  smtp_disconnect();
  return smtp->refused.empty() ? kExitSent : kExitSomeRefused;
}

// Everything up to the finished head and body (the temporary file, if any,
// deleted whatever the outcome): the status that ends the run, or nothing.
// With -8bit the session opens first (*session: kSessionOpen), closed when
// a file fails after that; under -queue one that failed in a way that may
// pass, or was not tried (kSessionFailed), still lets the text be composed.
std::optional<int> prepare_message(Attachments* attachments, MessageText* text,
                                   const std::string& envelope, int* session, SmtpSession* smtp) {
  const char* typed_name = message_file;
  PlatformFile file;
  const bool console = std::strcmp(message_file, "-") == 0;
  std::optional<int> status =
      console ? capture_console_input(&file) : open_for_mailing(message_file, false, &file);
  if (!status && g_options.delivery.eight_bit && *session == kSessionClosed) {
    const int opened = open_session(envelope, smtp);
    const bool to_queue =
        g_options.queue && opened == kExitSmtpFailed && failure_may_pass(smtp->step);
    *session = opened == 0 ? kSessionOpen : kSessionFailed;
    if (opened != 0 && !to_queue) status = opened;
  }
  if (!status) status = load_message(typed_name, file, attachments, text, *smtp);
  platform_close_file(&file);
  if (console) platform_discard_temp_file(temp_file_name);
  if (status && *session == kSessionOpen) {
    smtp_quit();
    smtp_disconnect();
  }
  return status;
}

}  // namespace

int run_driver(bool send) {
  build_recipient_list(g_state);
  Attachments attachments;
  MessageText text;
  const std::string envelope = build_envelope_list(g_state);
  int session = send ? kSessionClosed : kSessionFailed;
  SmtpSession smtp;
  if (!send) smtp.step = g_options.failure;
  std::optional<int> status = prepare_message(&attachments, &text, envelope, &session, &smtp);
  if (!status) {
    print_progress();
    status = session == kSessionFailed
                 ? kExitSmtpFailed
                 : send_message(text, attachments, envelope, session == kSessionOpen, &smtp);
    if (g_options.queue && *status == kExitSmtpFailed && failure_may_pass(smtp.step)) {
      // The attachments are read again, from their start, into the entry.
      MessageStream stream(text);
      status = queue_message(&stream, message_text_bytes(text), envelope,
                             text.form == BodyForm::kEightBit, g_options.message.message_id,
                             g_options.login, g_options.delivery, smtp.step);
      if (stream.failed() != 0) status = read_failure_status(failed_file(stream, attachments));
    }
  }
  std::string().swap(g_state.recipients);
  return *status;
}
