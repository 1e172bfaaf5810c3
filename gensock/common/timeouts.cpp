#include "timeouts.h"

#include <cmath>
#include <cstdlib>

namespace gensock_common {

namespace {

// RFC 5321 4.5.3.2 asks clients to wait minutes: 5 for most replies, 10 for
// the reply to the end of the data, 3 for each block of data sent.
constexpr int kDefaultConnectSeconds = 60;
constexpr int kDefaultReadSeconds = 600;
constexpr int kDefaultSendSeconds = 180;
// A day: longer waits are read as mistakes and capped (also keeps the
// milliseconds within an int).
constexpr double kLongestTimeoutSeconds = 86400;

// Milliseconds of a GENSOCK_TIMEOUT value (at least 1), or 0 when it is not
// a finite number greater than 0.
int milliseconds_of(const char* text) {
  char* end = nullptr;
  double seconds = std::strtod(text, &end);
  if (*end != '\0' || !(seconds > 0) || !std::isfinite(seconds)) return 0;
  if (seconds > kLongestTimeoutSeconds) seconds = kLongestTimeoutSeconds;
  int ms = static_cast<int>(seconds * 1000);
  return ms > 0 ? ms : 1;
}

// GENSOCK_TIMEOUT in milliseconds, or 0 when it is unset, empty or rejected.
int milliseconds_from_environment() {
  const char* text = std::getenv("GENSOCK_TIMEOUT");
  return text == nullptr || *text == '\0' ? 0 : milliseconds_of(text);
}

int at_most(int default_ms, int ms) { return ms > 0 && ms < default_ms ? ms : default_ms; }

}  // namespace

Timeouts timeouts_from_environment() {
  int ms = milliseconds_from_environment();
  Timeouts timeouts = {};
  timeouts.connect_ms = at_most(kDefaultConnectSeconds * 1000, ms);
  timeouts.read_ms = at_most(kDefaultReadSeconds * 1000, ms);
  timeouts.limit_ms = ms;  // 0: no overall limit on a reply
  timeouts.send_ms = at_most(kDefaultSendSeconds * 1000, ms);
  return timeouts;
}

bool timeout_variable_rejected() {
  const char* text = std::getenv("GENSOCK_TIMEOUT");
  return text != nullptr && *text != '\0' && milliseconds_of(text) == 0;
}

int shortened(int limit_ms, const Timeouts& timeouts) {
  return timeouts.limit_ms > 0 && timeouts.limit_ms < limit_ms ? timeouts.limit_ms : limit_ms;
}

}  // namespace gensock_common
