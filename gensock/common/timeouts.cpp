#include "timeouts.h"

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

// GENSOCK_TIMEOUT in milliseconds (at least 1), or 0 when it is not a
// positive number.
int milliseconds_from_environment() {
  const char* text = std::getenv("GENSOCK_TIMEOUT");
  if (text == nullptr || *text == '\0') return 0;
  char* end = nullptr;
  double seconds = std::strtod(text, &end);
  if (*end != '\0' || !(seconds > 0)) return 0;
  if (seconds > kLongestTimeoutSeconds) seconds = kLongestTimeoutSeconds;
  int ms = static_cast<int>(seconds * 1000);
  return ms > 0 ? ms : 1;
}

}  // namespace

Timeouts timeouts_from_environment() {
  int ms = milliseconds_from_environment();
  if (ms > 0) return Timeouts{ms, ms, ms, ms};
  Timeouts defaults = {};
  defaults.connect_ms = kDefaultConnectSeconds * 1000;
  defaults.read_ms = kDefaultReadSeconds * 1000;
  defaults.limit_ms = 0;  // no overall limit on a reply
  defaults.send_ms = kDefaultSendSeconds * 1000;
  return defaults;
}

int shortened(int limit_ms, const Timeouts& timeouts) {
  return timeouts.limit_ms > 0 && timeouts.limit_ms < limit_ms ? timeouts.limit_ms : limit_ms;
}

}  // namespace gensock_common
