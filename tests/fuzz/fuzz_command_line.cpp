// The whole program on random argument vectors. The input is split at NUL
// bytes into arguments 1, 2, ...; each argument and the vector itself are
// heap blocks of exactly their size, so that reading past the last argument
// (or past an argument's terminator) is caught. The settings live in a
// registry folder of this process's own; the socket library is the scripted one,
// refusing every connection, so a run that reaches the driver ends at once.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "fakes/fake_gensock.h"
#include "platform/platform.h"
#include "quib/exit_status.h"
#include "quib/mailer_state.h"
#include "smtp/socket_library.h"

namespace {

// Enough arguments for every option twice over; more adds nothing.
constexpr std::size_t kMostArguments = 48;

std::string g_registry;

void check(bool condition) {
  if (!condition) std::abort();
}

// A socket library that refuses every connection.
fake::Script g_script;

bool is_known_status(int status) {
  const int known[] = {kExitSent,        kExitUsage,      kExitNoMessageFile, kExitCantOpen,
                       kExitNotDiskFile, kExitReadFailed, kExitInstallCount,  kExitNoServerOrSender,
                       kExitTempFile,    kExitSmtpFailed, kExitQueued};
  for (int k : known) {
    if (status == k) return true;
  }
  return false;
}

std::unique_ptr<char[]> exact_copy(const std::string& text) {
  std::unique_ptr<char[]> copy(new char[text.size() + 1]);
  std::memcpy(copy.get(), text.c_str(), text.size() + 1);
  return copy;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char folder[] = "/tmp/quib-fuzz-reg-XXXXXX";
  check(mkdtemp(folder) != nullptr);
  g_registry = folder;
  setenv("QUIB_REGISTRY", folder, 1);
  // -u looks for a secret: never the user's own.
  setenv("NETRC", (g_registry + "/no-netrc").c_str(), 1);
  setenv("QUIB_QUEUE_DIR", (g_registry + "/queue").c_str(), 1);  // never the user's queue
  unsetenv("QUIB_PASSWORD");
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(g_registry, ignored);
  });
  // Console input is never read: "-" as argument 1 is left out below, and
  // standard input is closed in case anything reads it all the same.
  fake::install(&g_script);
  // What the runs print is not looked at.
  const int null_fd = open("/dev/null", O_WRONLY);
  check(null_fd >= 0 && dup2(null_fd, 1) == 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> texts(1, "quib");
  std::string current;
  // No bytes: no arguments at all; otherwise every NUL starts a new one.
  for (std::size_t at = 0; size > 0 && at <= size && texts.size() < kMostArguments; ++at) {
    if (at == size || data[at] == 0) {
      texts.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[at]);
    }
  }
  // "-" as the message file would read standard input.
  if (texts.size() > 1 && texts[1] == "-") return -1;
  // A -log file would be made wherever the input names it: the null device instead.
  for (std::size_t i = 2; i < texts.size(); ++i) {
    if (texts[i - 1] == "-log") texts[i] = "/dev/null";
  }

  std::vector<std::unique_ptr<char[]>> copies;
  const int argc = static_cast<int>(texts.size());
  std::unique_ptr<const char*[]> argv(new const char*[texts.size()]);
  bool installs = false;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    copies.push_back(exact_copy(texts[i]));
    argv[i] = copies.back().get();
    if (platform_compare_nocase(argv[i], "-install") == 0) installs = true;
  }

  reset_run_state();
  g_script = fake::Script();
  g_script.connect_results = {GENSOCK_ERR_REFUSED};
  const int status = quib_main(argc, argv.get());
  check(is_known_status(status));
  reset_run_state();

  // Each input starts from an empty registry, so that runs repeat.
  if (installs) {
    std::error_code ignored;
    std::filesystem::remove_all(g_registry, ignored);
    std::filesystem::create_directory(g_registry, ignored);
  }
  return 0;
}
