// The run driver: from an accepted command line to the exit status.
#pragma once

// Builds the recipient list and the header block, reads the body (capturing
// console input when message_file is "-"), joins them into the message text,
// prints the progress lines and runs the SMTP transaction.
// With -queue, a failure that may pass stores the message (14); send false:
// the secret could not be had for a reason that may pass (g_options.failure),
// the message is stored without connecting.
// Returns 0, -1, 3, 4, 5, 13 or 14.
int run_driver(bool send = true);
