// A secret from a command on POSIX: /bin/sh -c in a process group of its
// own, so that a command past its time is killed with its children.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/platform.h"

namespace {

// Output past the first line is read and thrown away so that the command
// never blocks on a full pipe; this much of the first line is kept.
constexpr std::size_t kFirstLineMost = 64 * 1024;

long long now_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

[[noreturn]] void run_child(const std::string& command, int out) {
  setpgid(0, 0);
  const int null = open("/dev/null", O_RDONLY);
  if (null < 0 || dup2(null, 0) < 0 || dup2(out, 1) < 0) _exit(127);
  execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
  _exit(127);
}

// Reads what the pipe holds into *line up to its first LF; true at its end.
bool read_more(int fd, Secret* line, bool* line_done) {
  char block[4096];
  const ssize_t got = read(fd, block, sizeof block);
  if (got < 0) return errno != EINTR && errno != EAGAIN;
  if (got == 0) return true;
  for (ssize_t i = 0; i < got && !*line_done; ++i) {
    if (block[i] == '\n') {
      *line_done = true;
    } else if (line->size() < kFirstLineMost) {
      line->append(block[i]);
    }
  }
  wipe_bytes(block, sizeof block);
  return false;
}

}  // namespace

int platform_run_command(const std::string& command, int seconds, Secret* first_line, int* code) {
  *code = 0;
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) return kCommandFailed;
  const pid_t child = fork();
  if (child < 0) {
    close(pipe_ends[0]);
    close(pipe_ends[1]);
    return kCommandFailed;
  }
  if (child == 0) {
    close(pipe_ends[0]);
    run_child(command, pipe_ends[1]);
  }
  setpgid(child, child);  // also here: the child may not have run yet
  close(pipe_ends[1]);
  const long long deadline = now_ms() + seconds * 1000LL;
  bool line_done = false;
  bool ended = false;
  int status = 0;
  bool reaped = false;
  while (!reaped && now_ms() < deadline) {
    if (!ended) {
      pollfd wait_for{pipe_ends[0], POLLIN, 0};
      const long long left = deadline - now_ms();
      if (poll(&wait_for, 1, static_cast<int>(left < 100 ? left : 100)) > 0) {
        ended = read_more(pipe_ends[0], first_line, &line_done);
      }
    }
    if (waitpid(child, &status, WNOHANG) == child) reaped = true;
    if (ended && !reaped) usleep(10000);
  }
  close(pipe_ends[0]);
  if (!reaped) {
    kill(-child, SIGKILL);
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return kCommandTimedOut;
  }
  if (!first_line->empty() && first_line->view().back() == '\r')
    *first_line = Secret(first_line->view().substr(0, first_line->size() - 1));
  if (WIFSIGNALED(status)) {
    *code = WTERMSIG(status);
    return kCommandKilled;
  }
  *code = WEXITSTATUS(status);
  if (*code != 0) return kCommandFailed;
  return first_line->empty() ? kCommandNoOutput : 0;
}
