// What the command line asks of a run beyond the classic options that
// MailerState holds, kept by the command-line layer and handed from there
// to the layer each part is for, as parameters.
#pragma once

#include "smtp/smtp_dialogue.h"

struct RunOptions {
  // ---- The message (src/message) ----

  // ---- Logging in (src/cli/login_secret.h, src/smtp/smtp_login.h) ----

  // ---- The session and the transcript (src/smtp) ----
  DeliveryOptions delivery;   // -dsn, -8bit, -rcpt-skip-refused
  int debug = 0;              // -debug: the transcript to standard error
  const char* log_file = "";  // -log: the transcript appended to this file
  DialogueStep failure;       // why the secret could not be had (a queued message's reason)
};

// The options of this run; emptied by reset_run_state.
extern RunOptions g_options;
