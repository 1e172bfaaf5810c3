#include "smtp/transport_error.h"

#include <gtest/gtest.h>

#include <string>

#include "quib/mailer_state.h"
#include "support/stdout_capture.h"

namespace {

class TransportError : public ::testing::Test {
 protected:
  void SetUp() override { reset_run_state(); }
  // What was printed since the last take.
  std::string out() { return capture_.take(); }
  StdoutCapture capture_;
};

struct Case {
  int code;
  const char* context;
  const char* printed;
};

const Case kCases[] = {
    {4001, "gensock_connect", "Error: Malloc failed (possibly out of memory)."},
    {4002, "gensock_put_data", "Error: Error sending data."},
    {4003, "gensock_connect", "Error: Error initializing gensock.dll."},
    {4004, "gensock_connect", "Error: Version not supported."},
    {4005, "gensock_connect",
     "Error: The winsock version specified by gensock is not supported by this winsock.dll."},
    {4006, "gensock_connect", "Error: Network not ready."},
    {4007, "gensock_connect", "Error: Can't resolve (mailserver) hostname."},
    {4008, "gensock_connect", "Error: Can't create a socket (too many simultaneous links?)"},
    {4009, "gensock_getchar", "Error: Error reading socket."},
    {4010, "gensock_close", "Error: Not a socket."},
    {4011, "gensock_connect", "Error: Busy."},
    {4012, "gensock_close", "Error: Error closing socket."},
    {4013, "gensock_getchar", "Error: Wait a bit (possible timeout)."},
    {4014, "gensock_connect", "Error: Can't resolve service."},
    {4015, "gensock_connect",
     "Error: Can't connect to mailserver (timed out if winsock.dll error 10060)"},
    {4016, "gensock_getchar", "Error: Connection to mailserver was dropped."},
    {4016, "gensock_close", "Error: Connection to mailserver was dropped."},
    {4017, "gensock_connect", "Error: Mail server refused connection."},
    // Outside the table: the number and the entry point.
    {4018, "gensock_getchar", "error 4018 in function 'gensock_getchar'"},
    {4000, "gensock_connect", "error 4000 in function 'gensock_connect'"},
    {-5, "gensock_close", "error -5 in function 'gensock_close'"},
    {1, "gensock_put_data", "error 1 in function 'gensock_put_data'"},
    {-2147483647 - 1, "gensock_gethostname", "error -2147483648 in function 'gensock_gethostname'"},
    {2147483647, "gensock_getchar", "error 2147483647 in function 'gensock_getchar'"},
};

TEST_F(TransportError, EveryCodePrintsItsMessageWithoutLineEnd) {
  for (const Case& c : kCases) {
    out();
    report_transport_error(c.context, c.code);
    EXPECT_EQ(out(), c.printed) << "code " << c.code;
  }
}

}  // namespace
