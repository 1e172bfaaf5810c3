// The time limits of a connection. No operating system calls.
#pragma once

namespace gensock_common {

// Waits in milliseconds.
struct Timeouts {
  int connect_ms;  // per address
  int read_ms;     // each wait for received data
  int send_ms;     // each wait for room to send
};

// Defaults, or GENSOCK_TIMEOUT seconds for every wait when it is set to a
// positive whole number (capped at a day).
Timeouts timeouts_from_environment();

}  // namespace gensock_common
