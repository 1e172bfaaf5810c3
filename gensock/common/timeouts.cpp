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
constexpr long kLongestTimeoutSeconds = 86400;

int seconds_from_environment() {
  const char* text = std::getenv("GENSOCK_TIMEOUT");
  if (text == nullptr || *text == '\0') return 0;
  char* end = nullptr;
  long seconds = std::strtol(text, &end, 10);
  if (*end != '\0' || seconds <= 0) return 0;
  return static_cast<int>(seconds < kLongestTimeoutSeconds ? seconds : kLongestTimeoutSeconds);
}

}  // namespace

Timeouts timeouts_from_environment() {
  int seconds = seconds_from_environment();
  if (seconds > 0) return Timeouts{seconds * 1000, seconds * 1000, seconds * 1000};
  return Timeouts{kDefaultConnectSeconds * 1000, kDefaultReadSeconds * 1000,
                  kDefaultSendSeconds * 1000};
}

}  // namespace gensock_common
