#include "cli/command_line.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cli/login_secret.h"
#include "cli/run_driver.h"
#include "cli/run_log.h"
#include "cli/run_options.h"
#include "cli/secret_sources.h"
#include "cli/settings/settings_store.h"
#include "cli/usage.h"
#include "common/ascii.h"
#include "message/address_list.h"
#include "message/header_block.h"
#include "message/header_fields.h"
#include "message/message_id.h"
#include "message/mime_parts.h"
#include "platform/platform.h"
#include "queue/queue.h"
#include "quib/console.h"
#include "quib/exit_status.h"
#include "quib/mailer_state.h"
#include "smtp/esmtp.h"
#include "smtp/transcript.h"

namespace {

enum class Action {
  kHelp,         // usage text, status 1
  kInstall,      // store a new server and sender
  kRefer,        // the field refers to the next argument
  kServer,       // the next argument is copied into smtp_server
  kFlag,         // the row's flag is set, takes nothing
  kPassOver,     // the next argument is passed over unread
  kFromAddress,  // from_address refers to the next argument, from_given
  kAppend,       // the next argument goes at the end of the row's list
  kCharset,      // charset refers to the next argument, a character set's name
  kSecret,       // the next argument is copied into secret and overwritten
};

struct Option {
  const char* name;
  bool ignore_case;
  Action action;
  const char** field;                        // for kRefer
  int* flag = nullptr;                       // for kFlag
  std::vector<const char*>* list = nullptr;  // for kAppend
};

// Tested in this order; the first match acts.
const Option kOptions[] = {
    {"-h", true, Action::kHelp, nullptr},
    {"-install", true, Action::kInstall, nullptr},
    {"-s", true, Action::kRefer, &g_state.subject},
    {"-c", true, Action::kRefer, &g_state.cc_list},
    {"-b", true, Action::kRefer, &g_state.bcc_list},
    {"-t", true, Action::kRefer, &g_state.to_list},
    {"-server", true, Action::kServer, nullptr},
    {"-f", false, Action::kRefer, &g_state.login},
    {"-penguin", false, Action::kFlag, nullptr, &g_state.header_only_body},
    {"-mime", false, Action::kPassOver, nullptr},
    {"-q", false, Action::kPassOver, nullptr},
    {"-i", false, Action::kFromAddress, nullptr},
    {"-attach", false, Action::kAppend, nullptr, nullptr, &g_options.message.attachments},
    {"-html", false, Action::kFlag, nullptr, &g_options.message.html},
    {"-charset", false, Action::kCharset, nullptr},
    // Logging in.
    {"-u", false, Action::kRefer, &g_options.login.user},
    {"-pass", false, Action::kSecret, nullptr},
    {"-auth", false, Action::kRefer, &g_options.login.auth},
    // The transcript.
    {"-debug", false, Action::kFlag, nullptr, &g_options.debug},
    {"-log", false, Action::kRefer, &g_options.log_file},
    // The secret's other sources.
    {"-passcmd", false, Action::kRefer, &g_options.login.pass_command},
    {"-oauth", false, Action::kRefer, &g_options.login.oauth_file},
    // The queue.
    {"-queue", false, Action::kFlag, nullptr, &g_options.queue},
    // What modern receivers expect.
    {"-msgid", false, Action::kFlag, nullptr, &g_options.want_message_id},
    {"-header", false, Action::kAppend, nullptr, nullptr, &g_options.typed_headers},
    {"-embed", false, Action::kAppend, nullptr, nullptr, &g_options.message.embeds},
    {"-dsn", false, Action::kRefer, &g_options.delivery.dsn},
    {"-8bit", false, Action::kFlag, nullptr, &g_options.delivery.eight_bit},
    {"-rcpt-skip-refused", false, Action::kFlag, nullptr, &g_options.delivery.skip_refused},
    // Long sends.
    {"-progress", false, Action::kFlag, nullptr, &g_options.progress},
};

// The commands on the queue: each stands alone but for -q, -debug and
// -log <file>, in any order.
enum class QueueCommand { kNone, kFlush, kList, kDrop, kRetry };

struct QueueCommandName {
  const char* name;
  QueueCommand command;
  bool takes_id;
};

const QueueCommandName kQueueCommands[] = {
    {"-flush", QueueCommand::kFlush, false},
    {"-queue-list", QueueCommand::kList, false},
    {"-queue-drop", QueueCommand::kDrop, true},
    {"-queue-retry", QueueCommand::kRetry, true},
};

const char kQueueKeepsNoSecret[] =
    "-queue cannot keep a -pass secret; use QUIB_PASSWORD, netrc, the Credential Manager, "
    "-passcmd or -oauth\n";

const char kInstallHint[] =
    "to set the SMTP server's address and the user name at that address do:\n"
    "quib -install server username";

const Option* find_option(const char* argument) {
  for (const Option& option : kOptions) {
    int difference = option.ignore_case ? platform_compare_nocase(argument, option.name)
                                        : platform_compare(argument, option.name);
    if (difference == 0) return &option;
  }
  return nullptr;
}

int usage_status() {
  print_usage();
  return kExitUsage;
}

int missing_file_status(const char* name) {
  say(std::string(name) + " does not exist\n");
  return kExitNoMessageFile;
}

int overlong_address_status(const char* field) {
  say(std::string("the ") + field + " field holds an address longer than a header line may hold (" +
      "998 characters)\n");
  return kExitUsage;
}

// smtp_server and sender hold 255 characters and the NUL: a longer value is
// refused whole, never cut short.
bool fits_setting(const char* text) { return std::strlen(text) < kServerBytes; }

void copy_setting(char* buffer, const char* text) {
  std::memcpy(buffer, text, std::strlen(text) + 1);
}

int too_long_status(const char* what) {
  say(std::string(what) + " is longer than 255 characters\n");
  return kExitUsage;
}

bool has_line_break(const char* text) { return std::strpbrk(text, "\r\n") != nullptr; }

// A line break in the envelope sender would let it inject SMTP commands;
// one in a stored server name could never work either.
int line_break_status(const char* what) {
  say(std::string(what) + " holds a line break (CR or LF): aborting, nothing sent\n");
  return kExitNoServerOrSender;
}

int no_server_or_sender_status() {
  say(std::string(kInstallHint) + "\n");
  say("or use '-server <server name>' and '-f <user name>'\n");
  say("aborting, nothing sent\n");
  return kExitNoServerOrSender;
}

// After a failed store the run ends where it would have gone on to end,
// and never sends: without a sender (12), else at "-install" (always the
// first argument here), which is no message file (2).
int not_stored_status(const char* name) {
  if (g_state.smtp_server[0] == '\0' || g_state.login[0] == '\0') {
    return no_server_or_sender_status();
  }
  return missing_file_status(name);
}

// -install at position *i. The argument count decides how many values it
// takes (3: the server; 4: the server and the sender). Where those values
// would lie beyond the last argument (-install away from position 1),
// -install counts as a stray argument.
std::optional<int> install(int argc, const char* const* argv, int* i) {
  if (argc != 3 && argc != 4) {
    say(kInstallHint);
    return kExitInstallCount;
  }
  int taken = argc - 2;
  if (*i + taken > argc - 1) return usage_status();
  const char* server = argv[*i + 1];
  const char* sender = taken == 2 ? argv[*i + 2] : "";
  if (!fits_setting(server)) return too_long_status("-install: the server name");
  if (!fits_setting(sender)) return too_long_status("-install: the sender address");
  if (has_line_break(server)) return line_break_status("the server name");
  if (has_line_break(sender)) return line_break_status("the sender address");
  copy_setting(g_state.smtp_server, server);
  copy_setting(g_state.sender, sender);
  *i += taken;
  if (save_settings() != 0) return not_stored_status(argv[1]);  // the store has said why
  say(std::string("\nSMTP server set to ") + g_state.smtp_server + "\n");
  return kExitSent;
}

// A character set's name as RFC 2978 allows it, short enough to leave room
// in an encoded word: it goes into header lines as it stands. The "'" of
// RFC 2978 is left out: it ends the name in a filename* parameter (RFC 2231).
bool charset_name(const char* name) {
  constexpr std::size_t kCharsetMost = 40;
  const std::size_t length = std::strlen(name);
  return length > 0 && length <= kCharsetMost &&
         std::strspn(name,
                     "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
                     "!#$%&+-^_`{}~") == length;
}

int charset_status(const char* name) {
  say(std::string("-charset: '") + name + "' is not a character set name\n");
  return kExitUsage;
}

// -penguin's body brings its own header lines, so no MIME lines can be
// written for it.
std::optional<int> penguin_conflict_status() {
  const MessageOptions& message = g_options.message;
  if (!g_state.header_only_body ||
      (message.attachments.empty() && !message.html && message.charset[0] == '\0')) {
    return std::nullopt;
  }
  say("-penguin cannot go with -attach, -html or -charset (its body file brings its own "
      "header lines): aborting, nothing sent\n");
  return kExitUsage;
}

std::optional<int> penguin_message_id_status() {
  if (!g_state.header_only_body || !g_options.want_message_id) return std::nullopt;
  say("-penguin cannot go with -msgid (its body file brings its own header lines): aborting, "
      "nothing sent\n");
  return kExitUsage;
}

// A Message-ID of this run: the time, random bytes, and the host's name
// or the sender's domain.
std::string new_message_id(const char* sender) {
  unsigned char random[kMessageIdRandomBytes];
  platform_random_bytes(random, sizeof random);
  return make_message_id(platform_now_seconds(), random, platform_host_name(), sender);
}

// A refusal of one of the options that shape the message: status 1.
int option_status(const std::string& why) {
  say(why + ": aborting, nothing sent\n");
  return kExitUsage;
}

// -header lines checked (a Message-ID among them becomes the message's),
// -embed names, -dsn's value, and the charset of an international envelope.
std::optional<int> message_option_status() {
  MessageOptions& message = g_options.message;
  for (const char* typed : g_options.typed_headers) {
    HeaderField field;
    const std::string why = check_header_option(typed, g_state.from_given != 0, &field);
    if (!why.empty()) return option_status("-header \"" + std::string(typed) + "\": " + why);
    if (equal_nocase(field.name, "Message-ID")) {
      if (!message.message_id.empty()) return option_status("-header: Message-ID given twice");
      message.message_id = field.value;
    }
    message.headers.push_back(field);
  }
  if (!message.embeds.empty() && !message.html) return option_status("-embed needs -html");
  std::vector<std::string_view> names;
  for (const char* embedded : message.embeds) {
    const std::string_view name = base_name(embedded);
    if (!content_id_name(name)) {
      return option_status("-embed " + std::string(embedded) +
                           ": the file name is not one of A-Z, a-z, 0-9, '.', '_' and '-'");
    }
    if (std::find(names.begin(), names.end(), name) != names.end()) {
      return option_status("-embed " + std::string(embedded) +
                           ": a file of that name is embedded already");
    }
    names.push_back(name);
  }
  if (g_options.delivery.dsn[0] != '\0' && dsn_notify(g_options.delivery.dsn).empty()) {
    return option_status("-dsn " + std::string(g_options.delivery.dsn) +
                         ": not 'never' or a list of success, failure and delay");
  }
  const bool international = is_international(g_state.login) ||
                             is_international(clean_address_list(g_state.to_list)) ||
                             is_international(clean_address_list(g_state.cc_list)) ||
                             is_international(clean_address_list(g_state.bcc_list));
  if (international && message.charset[0] != '\0' &&
      platform_compare_nocase(message.charset, "utf-8") != 0) {
    return option_status("an address with bytes above 127 goes in UTF-8: -charset must be utf-8");
  }
  return std::nullopt;
}

// -pass: the secret is copied, and the argument's bytes are overwritten at
// once so that the process's command line (ps, /proc/<pid>/cmdline) no
// longer shows it. The vector handed to main is writable.
void take_secret(const char* value) {
  g_options.login.secret = Secret(value);  // a second -pass: the first secret goes, too
  char* argument = const_cast<char*>(value);
  std::memset(argument, 0, std::strlen(argument));
  platform_protect_secrets();
}

// An option that takes the next argument as its value.
std::optional<int> take_value(const Option& option, const char* value) {
  switch (option.action) {
    case Action::kRefer:
      *option.field = value;
      break;
    case Action::kServer:
      if (!fits_setting(value)) return too_long_status("-server: the server name");
      copy_setting(g_state.smtp_server, value);
      break;
    case Action::kAppend:
      option.list->push_back(value);
      break;
    case Action::kCharset:
      if (!charset_name(value)) return charset_status(value);
      g_options.message.charset = value;
      break;
    case Action::kSecret:
      take_secret(value);
      break;
    default:  // Action::kFromAddress
      g_state.from_address = value;
      g_state.from_given = 1;
      break;
  }
  return std::nullopt;
}

std::optional<int> apply_option(const Option& option, int argc, const char* const* argv, int* i) {
  switch (option.action) {
    case Action::kHelp:
      return usage_status();
    case Action::kInstall:
      return install(argc, argv, i);
    case Action::kFlag:
      *option.flag = 1;
      return std::nullopt;
    case Action::kPassOver:
      *i += 1;  // may step past the last argument; nothing is read there
      return std::nullopt;
    default:
      // Standing last, the option has no value: a stray argument.
      if (*i + 1 >= argc) return usage_status();
      *i += 1;
      return take_value(option, argv[*i]);
  }
}

// True when the run writes a Message-ID: -msgid, or an option beyond the
// classic ones that shapes the message or its delivery (-u, -attach, -html,
// -charset, -queue, -oauth, -passcmd, -header, -embed, -dsn, -8bit,
// -rcpt-skip-refused); never for a -penguin body, which writes its own header.
bool wants_message_id() {
  const MessageOptions& message = g_options.message;
  if (g_state.header_only_body) return false;
  return g_options.want_message_id || g_options.login.user != nullptr ||
         !message.attachments.empty() || message.html || message.charset[0] != '\0' ||
         g_options.queue || g_options.login.oauth_file != nullptr ||
         g_options.login.pass_command != nullptr || !message.headers.empty() ||
         !message.embeds.empty() || g_options.delivery.dsn[0] != '\0' ||
         g_options.delivery.eight_bit || g_options.delivery.skip_refused;
}

// The run once the command line is read: the last checks, then the driver.
int run_accepted() {
  if (std::optional<int> status = penguin_conflict_status()) return *status;
  if (std::optional<int> status = penguin_message_id_status()) return *status;
  if (std::optional<int> status = message_option_status()) return *status;
  if (!g_state.from_given) g_state.from_address = g_state.login;
  if (g_state.smtp_server[0] == '\0' || g_state.login[0] == '\0') {
    return no_server_or_sender_status();
  }
  if (has_line_break(g_state.login)) return line_break_status("the sender address");
  if (!message_file_exists(message_file)) return missing_file_status(message_file);
  for (const char* attachment : g_options.message.attachments) {
    // A folder is no disk file: the driver says so.
    if (!platform_file_exists(attachment) && !platform_is_folder(attachment)) {
      return missing_file_status(attachment);
    }
  }
  for (const char* embedded : g_options.message.embeds) {
    if (!platform_file_exists(embedded)) return missing_file_status(embedded);
  }
  if (const char* field = overlong_address_field(g_state, g_options.message))
    return overlong_address_status(field);
  if (g_options.queue) {
    if (!g_options.login.secret.empty()) {
      say(kQueueKeepsNoSecret);
      return kExitNoServerOrSender;
    }
    std::string dir;
    if (std::optional<int> status = open_queue_folder(&dir)) return *status;
  }
  if (wants_message_id() && g_options.message.message_id.empty()) {
    g_options.message.message_id = new_message_id(g_state.login);
  }
  if (std::optional<int> status = prepare_login()) {
    // A token endpoint out of reach or a failed -passcmd may pass: queued.
    if (!g_options.queue || !g_options.failure.may_pass) return *status;
    return run_driver(false);
  }
  return run_driver();
}

// Reads a queue command's line: the command, its id, and -q, -debug and
// -log <file>. kNone when the line is no such command.
QueueCommand read_queue_command(int argc, const char* const* argv, const char** id) {
  QueueCommand command = QueueCommand::kNone;
  for (int i = 1; i < argc; ++i) {
    const QueueCommandName* found = nullptr;
    for (const QueueCommandName& name : kQueueCommands) {
      if (platform_compare(argv[i], name.name) == 0) found = &name;
    }
    if (found != nullptr && command == QueueCommand::kNone) {
      command = found->command;
      if (found->takes_id && ++i >= argc) return QueueCommand::kNone;
      if (found->takes_id) *id = argv[i];
    } else if (platform_compare(argv[i], "-q") == 0) {
      g_state.quiet = 1;
    } else if (platform_compare(argv[i], "-debug") == 0) {
      g_options.debug = 1;
    } else if (platform_compare(argv[i], "-log") == 0 && i + 1 < argc) {
      g_options.log_file = argv[++i];
    } else {
      return QueueCommand::kNone;
    }
  }
  return command;
}

int run_queue_command(QueueCommand command, const char* id) {
  switch (command) {
    case QueueCommand::kFlush:
      return flush_queue(prepare_queued_login);
    case QueueCommand::kList:
      return list_queue();
    case QueueCommand::kDrop:
      return drop_entries(id);
    default:
      return retry_entries(id);
  }
}

// A queue command reads no stored settings: each entry carries what it needs.
std::optional<int> queue_command(int argc, const char* const* argv) {
  const char* id = "";
  const QueueCommand command = read_queue_command(argc, argv, &id);
  if (command == QueueCommand::kNone) {
    reset_run_state();
    return std::nullopt;
  }
  if (std::optional<int> status = open_run_log(argc, argv)) return *status;
  const int status = run_queue_command(command, id);
  close_run_log(status);
  return status;
}

}  // namespace

void prescan_flags(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    if (platform_compare_nocase(argv[i], "-q") == 0) g_state.quiet = 1;
    if (platform_compare_nocase(argv[i], "-mime") == 0) g_state.mime = 1;
  }
}

std::optional<int> parse_command_line(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    const Option* option = find_option(argv[i]);
    std::optional<int> status;
    if (option != nullptr) {
      status = apply_option(*option, argc, argv, &i);
    } else if (i != 1) {
      status = usage_status();  // a stray argument
    } else if (!message_file_exists(argv[1])) {
      status = missing_file_status(argv[1]);
    }
    if (status) return status;
  }
  return std::nullopt;
}

bool message_file_exists(const char* name) {
  if (platform_compare(name, "-") == 0) return true;
  return name[0] != '\0' && platform_file_exists(name);
}

int quib_main(int argc, const char* const* argv) {
  reset_run_state();
  transcript_start_clock();
  if (argc < 2) return usage_status();
  if (std::optional<int> status = queue_command(argc, argv)) return *status;
  prescan_flags(argc, argv);
  if (std::optional<int> status = oauth_command(argc, argv)) return *status;
  message_file = argv[1];
  g_state.smtp_server[0] = '\0';
  g_state.sender[0] = '\0';
  load_settings();  // on failure it has said so; the run goes on with what it read
  g_state.login = g_state.sender;
  g_state.from_address = g_state.sender;
  if (std::optional<int> status = parse_command_line(argc, argv)) return *status;
  if (std::optional<int> status = open_run_log(argc, argv)) return *status;
  const int status = run_accepted();
  close_run_log(status);
  return status;
}
