// What the command line asks of a run beyond the classic options that
// MailerState holds, kept by the command-line layer and handed from there
// to the layer each part is for, as parameters.
#pragma once

#include "cli/login_secret.h"

struct RunOptions {
  // ---- The message (src/message) ----

  // ---- Logging in (src/cli/login_secret.h, src/smtp/smtp_login.h) ----
  LoginOptions login;

  // ---- The session and the transcript (src/smtp) ----
};

// The options of this run; emptied by reset_run_state.
extern RunOptions g_options;
