#include "smtp/transport_error.h"

#include <string>

#include "quib/console.h"
#include "smtp/transcript.h"

namespace {

constexpr int kFirstKnownCode = 4001;

// Indexed by code - kFirstKnownCode.
const char* const kTransportMessages[] = {
    "Error: Malloc failed (possibly out of memory).",
    "Error: Error sending data.",
    "Error: Error initializing gensock.dll.",
    "Error: Version not supported.",
    "Error: The winsock version specified by gensock is not supported by this winsock.dll.",
    "Error: Network not ready.",
    "Error: Can't resolve (mailserver) hostname.",
    "Error: Can't create a socket (too many simultaneous links?)",
    "Error: Error reading socket.",
    "Error: Not a socket.",
    "Error: Busy.",
    "Error: Error closing socket.",
    "Error: Wait a bit (possible timeout).",
    "Error: Can't resolve service.",
    "Error: Can't connect to mailserver (timed out if winsock.dll error 10060)",
    "Error: Connection to mailserver was dropped.",
    "Error: Mail server refused connection.",
};

constexpr int kKnownCodes = sizeof kTransportMessages / sizeof kTransportMessages[0];

}  // namespace

std::string transport_error_message(const char* context, int code) {
  return code >= kFirstKnownCode && code < kFirstKnownCode + kKnownCodes
             ? kTransportMessages[code - kFirstKnownCode]
             : "error " + std::to_string(code) + " in function '" + context + "'";
}

std::string report_transport_error(const char* context, int code) {
  std::string message = transport_error_message(context, code);
  say(message);
  if (!transcript_on()) return std::string();
  message = std::string(context) + " failed with " + std::to_string(code) + ": " + message;
  transcript_event(message);
  return transcript_shown(message);
}
