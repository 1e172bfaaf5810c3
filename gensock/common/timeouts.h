// The time limits of a connection. No operating system calls.
#pragma once

namespace gensock_common {

// Waits in milliseconds.
struct Timeouts {
  int connect_ms;  // per address
  int read_ms;     // each wait for received data
  int limit_ms;    // GENSOCK_TIMEOUT, or 0 when it is not set
  int send_ms;     // each wait for room to send
};

// Defaults, each shortened to GENSOCK_TIMEOUT seconds when that is set to a
// positive number (fractions allowed, at least 1 ms, at most a day) below it.
Timeouts timeouts_from_environment();

// True when GENSOCK_TIMEOUT is set, not empty, and ignored as no positive number.
bool timeout_variable_rejected();

// limit_ms, shortened to GENSOCK_TIMEOUT when that is shorter.
int shortened(int limit_ms, const Timeouts& timeouts);

}  // namespace gensock_common
