// The stored settings: SMTP server and default sender, kept in the registry
// under HKEY_LOCAL_MACHINE\SOFTWARE\Wendfield\Quib.
#pragma once

// Reads "SMTP server" into g_state.smtp_server and "Sender" into
// g_state.sender. 0 when both were read; 12 after a printed failure.
int load_settings();

// Writes both from g_state. 0 when both were written; 10 when the key cannot
// be created or opened, 11 when a value cannot be written (printed).
int save_settings();
