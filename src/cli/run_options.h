// What the command line asks of a run beyond the classic options that
// MailerState holds, kept by the command-line layer and handed from there
// to the layer each part is for, as parameters.
#pragma once

#include <vector>

#include "cli/login_secret.h"
#include "message/message_options.h"
#include "smtp/smtp_dialogue.h"

struct RunOptions {
  // ---- The message (src/message) ----
  MessageOptions message;
  int want_message_id = 0;                 // -msgid
  std::vector<const char*> typed_headers;  // -header as typed, checked once the line is read
  int queue = 0;                           // -queue: a message that may go later is stored
  int progress = 0;  // -progress: a progress line on a terminal's standard error

  // ---- Logging in (src/cli/login_secret.h, src/smtp/smtp_login.h) ----
  LoginOptions login;

  // ---- The session and the transcript (src/smtp) ----
  DeliveryOptions delivery;   // -dsn, -8bit, -rcpt-skip-refused
  int debug = 0;              // -debug: the transcript to standard error
  const char* log_file = "";  // -log: the transcript appended to this file
  DialogueStep failure;       // why the secret could not be had (a queued message's reason)
};

// The options of this run; emptied by reset_run_state.
extern RunOptions g_options;
