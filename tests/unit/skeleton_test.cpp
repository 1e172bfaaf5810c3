#include <gtest/gtest.h>

#include "quib/exit_status.h"

TEST(Skeleton, ExitStatusesAreDistinct) { EXPECT_NE(kExitSent, kExitSmtpFailed); }
