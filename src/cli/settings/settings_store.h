// The stored settings: SMTP server and default sender, kept in the registry
// under HKEY_LOCAL_MACHINE\SOFTWARE\Wendfield\Quib.
#pragma once

// Results of the store (never exit statuses by themselves).
constexpr int kSaveKeyFailed = 10;    // the key could not be created or opened
constexpr int kSaveValueFailed = 11;  // a value could not be written
constexpr int kLoadFailed = 12;       // the key or a value could not be read

// Reads "SMTP server" into g_state.smtp_server and "Sender" into
// g_state.sender. 0 when both were read; 12 after a printed failure.
int load_settings();

// Writes both from g_state. 0 when both were written; 10 when the key cannot
// be created or opened, 11 when a value cannot be written (printed).
int save_settings();
