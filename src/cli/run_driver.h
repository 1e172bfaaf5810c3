// The run driver: from an accepted command line to the exit status.
#pragma once

// Builds the recipient list and the header block, reads the body (capturing
// console input when message_file is "-"), joins them into the message text,
// prints the progress lines and runs the SMTP transaction.
// Returns 0, -1, 3, 4, 5 or 13.
int run_driver();
