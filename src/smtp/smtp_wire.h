// The two primitives of the dialogue and the login: one send, one reply
// reader; and the one abort path. Each notes in the caller's DialogueStep
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

// A new step: what the last one met is forgotten.
void smtp_note_step(DialogueStep* at, std::string_view step);
// Names the step under way where no command names it, for the transcript only.
void smtp_name_step(DialogueStep* at, std::string_view shown);
// Why the step failed when no reply tells it.
void smtp_note_reason(DialogueStep* at, std::string_view reason);

// Reads one reply, continuation lines included, all of it within limit_ms
// where the library can time replies; returns the code of its last line, 0
// for a reply that runs past 16 MiB in all, or -1 after a printed transport
// failure. With `lines`, that is first emptied and then gets, in order, the
// lines read up to the first 2 KiB and the AUTH lines after them, 4 KiB
// in all at most, each without its CR LF and cut to its first 512 bytes
// (the rest of a longer line is read and dropped); after a failure, the
// lines read so far. With `hidden`, each line has those texts hidden
// before anyone sees it.
int smtp_read_reply(DialogueStep* at, int limit_ms, std::vector<std::string>* lines = nullptr,
                    const HiddenTexts* hidden = nullptr);

// Sends the command at once as a new step. 0, or -1 after a printed
// transport failure.
int smtp_send(DialogueStep* at, std::string_view command);

// Sends a command that carries credentials, like smtp_send; where the
// dialogue is shown, `step` stands in its place, or without it "[credentials
// hidden]", going on the step before.
int smtp_send_hidden(DialogueStep* at, const std::string& step, const Secret& command);

// Marks the step as failed, prints message and a line end, sends QUIT,
// disconnects. Whoever ends the run names the step.
void smtp_abort(DialogueStep* at, const std::string& message);

// Sends QUIT; no reply is read.
int smtp_quit();

// Closes the connection and unloads the library. 0, or -1 when closing failed.
int smtp_disconnect();
