// The token endpoint's replies and the service account key, as JSON from
// anywhere: nothing escapes (no exception, no crash), and what is kept is
// what may go on: a printable token, a short printable error.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "oauth/token_reply.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

bool is_printable(std::string_view text) {
  for (char c : text) {
    if (c < ' ' || c > '~') return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  TokenReply reply;
  const int read = read_token_reply(body, &reply);
  if (read == 0) {
    check(!reply.access_token.empty() && is_printable(reply.access_token.view()));
    check(is_printable(reply.refresh_token.view()) && reply.expires_in >= 0);
  }
  check(is_printable(reply.error) && is_printable(reply.error_description));
  check(reply.error_description.size() <= 200);
  check((read == kReplyError) == !reply.error.empty() || read == kReplyNotJson);
  DeviceReply device;
  TokenReply error;
  if (read_device_reply(body, &device, &error) == 0) check(device.interval >= 1);
  ServiceAccountKey key;
  read_service_account_key(body, &key);
  return 0;
}
