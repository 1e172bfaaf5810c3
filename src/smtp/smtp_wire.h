// The two primitives of the dialogue and the login, one send and one reply
// reader, and the one abort path; each notes in the caller's DialogueStep
// what the step under way met.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/secret.h"

class HiddenTexts;

// What the dialogue met at its last step: enough to tell a failure that
// may pass (a 4xx, a lost connection) from a refusal, and to name it.
struct DialogueStep {
  std::string step;        // the command as shown, or the step under way
  int reply_code = 0;      // the code of the last reply read; 0: none
  std::string reply;       // that reply's last line
  int transport_code = 0;  // the socket library's error; 0: none
  bool may_pass = false;   // a failure before the dialogue that may pass (a token
                           // endpoint out of reach, a -passcmd that failed)
  bool failed = false;     // the dialogue ended here and closed the connection
  std::string shown;       // while a transcript is kept: the step as it names it
  std::string reason;      // and why it failed: the last reply line, or what went wrong
};

// A new step, what the last one met forgotten; a step named for the transcript only.
void smtp_note_step(DialogueStep* at, std::string_view step);
void smtp_name_step(DialogueStep* at, std::string_view shown);
// Prints the failure of the library's `call` and notes it in *at. Returns -1.
int smtp_transport_failed(DialogueStep* at, const char* call, int code);

// Reads one reply within limit_ms (where the library times replies): the code of its last line,
// 0 past 16 MiB in all, -1 after a printed transport failure. *lines (emptied first) gets its
// first 2 KiB of lines and the AUTH lines after them, 4 KiB at most, each without its CR LF and
// cut to 512 bytes (after a failure, those read so far); `hidden` texts are hidden before anyone
// sees a line.
int smtp_read_reply(DialogueStep* at, int limit_ms, std::vector<std::string>* lines = nullptr,
                    const HiddenTexts* hidden = nullptr);

// Sends the command as a new step; a command carrying credentials is shown as `step`, or
// without one as "[credentials hidden]" going on the step before. 0, or -1 after a printed
// transport failure.
int smtp_send(DialogueStep* at, std::string_view command);
int smtp_send_hidden(DialogueStep* at, const std::string& step, const Secret& command);

// Marks the step as failed (why: `reason` when no reply tells it), prints message and a line
// end, sends QUIT, disconnects.
void smtp_abort(DialogueStep* at, const std::string& message, std::string_view reason = {});

// For whoever ends the run: names a failed step in the transcript. Returns status.
int smtp_ended(int status, const DialogueStep& at);

// Sends QUIT, reading no reply; closes the connection and unloads the library
// (-1 when closing failed).
int smtp_quit();
int smtp_disconnect();
