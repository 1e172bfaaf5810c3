// The socket library's limits under GENSOCK_TIMEOUT: it only ever shortens.
#include "timeouts.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <tuple>

namespace {

struct Variable {
  const char* value;  // null: unset
  int connect_ms, read_ms, limit_ms, send_ms;
  bool rejected;
};

TEST(Timeouts, VariableOnlyShortensAndBadValuesAreIgnored) {
  const Variable kCases[] = {
      {nullptr, 60000, 600000, 0, 180000, false},
      {"0.5", 500, 500, 500, 500, false},
      {"300", 60000, 300000, 300000, 180000, false},
      {"86400", 60000, 600000, 86400000, 180000, false},
      {"1e9", 60000, 600000, 86400000, 180000, false},
      {"2s", 60000, 600000, 0, 180000, true},
      {"inf", 60000, 600000, 0, 180000, true},
      {"nan", 60000, 600000, 0, 180000, true},
      {"0", 60000, 600000, 0, 180000, true},
      {"-1", 60000, 600000, 0, 180000, true},
  };
  for (const Variable& c : kCases) {
    if (c.value == nullptr) {
      unsetenv("GENSOCK_TIMEOUT");
    } else {
      setenv("GENSOCK_TIMEOUT", c.value, 1);
    }
    const gensock_common::Timeouts t = gensock_common::timeouts_from_environment();
    EXPECT_EQ(std::make_tuple(t.connect_ms, t.read_ms, t.limit_ms, t.send_ms,
                              gensock_common::timeout_variable_rejected()),
              std::make_tuple(c.connect_ms, c.read_ms, c.limit_ms, c.send_ms, c.rejected))
        << (c.value == nullptr ? "(unset)" : c.value);
  }
  unsetenv("GENSOCK_TIMEOUT");
}

}  // namespace
