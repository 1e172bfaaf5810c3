// A secret from a command on Windows: cmd /c in a job object, so that a
// command past its time is ended with every process it started.
#include <windows.h>

#include <string>

#include "platform/platform.h"

namespace {

constexpr std::size_t kFirstLineMost = 64 * 1024;

// Reads what the pipe holds now into *line up to its first LF.
void read_available(HANDLE pipe, Secret* line, bool* line_done) {
  DWORD available = 0;
  while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
    char block[4096];
    DWORD got = 0;
    if (!ReadFile(pipe, block, sizeof block < available ? sizeof block : available, &got, nullptr))
      return;
    for (DWORD i = 0; i < got && !*line_done; ++i) {
      if (block[i] == '\n') {
        *line_done = true;
      } else if (line->size() < kFirstLineMost) {
        line->append(block[i]);
      }
    }
    SecureZeroMemory(block, sizeof block);
  }
}

}  // namespace

int platform_run_command(const std::string& command, int seconds, Secret* first_line, int* code) {
  *code = 0;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return kCommandFailed;
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  HANDLE null = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                            OPEN_EXISTING, 0, nullptr);
  STARTUPINFOA start{};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdInput = null;
  start.hStdOutput = write_end;
  start.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  std::string line = "cmd /c " + command;
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  const BOOL started = CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                                      nullptr, nullptr, &start, &process);
  CloseHandle(write_end);
  if (null != INVALID_HANDLE_VALUE) CloseHandle(null);
  if (!started) {
    CloseHandle(read_end);
    if (job) CloseHandle(job);
    return kCommandFailed;
  }
  if (job) AssignProcessToJobObject(job, process.hProcess);
  ResumeThread(process.hThread);
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
  bool line_done = false;
  bool ended = false;
  while (!ended && GetTickCount64() < deadline) {
    read_available(read_end, first_line, &line_done);
    ended = WaitForSingleObject(process.hProcess, 20) == WAIT_OBJECT_0;
  }
  read_available(read_end, first_line, &line_done);
  DWORD status = 0;
  if (!ended) {
    if (job) TerminateJobObject(job, 1);
    TerminateProcess(process.hProcess, 1);
  } else {
    GetExitCodeProcess(process.hProcess, &status);
  }
  CloseHandle(read_end);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (job) CloseHandle(job);
  if (!ended) return kCommandTimedOut;
  if (!first_line->empty() && first_line->view().back() == '\r')
    *first_line = Secret(first_line->view().substr(0, first_line->size() - 1));
  *code = static_cast<int>(status);
  if (status != 0) return kCommandFailed;
  return first_line->empty() ? kCommandNoOutput : 0;
}
