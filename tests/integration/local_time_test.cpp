// The platform's clock: the local time and the zone offset in force, as the
// C library has them, under several TZ values.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <string>

#include "message/header_block.h"
#include "platform/platform.h"

namespace {

// Runs under a TZ value, restoring the earlier one afterwards.
class ZoneScope {
 public:
  explicit ZoneScope(const char* tz) {
    const char* old = getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ZoneScope() {
    if (had_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

TEST(PlatformLocalTime, OffsetInForceMatchesTheCLibrary) {
  const char* zones[] = {
      "UTC0",         "NST3:30NDT,M3.2.0,M11.1.0", "EST5EDT,M3.2.0,M11.1.0", "<+0530>-5:30",
      "<+0545>-5:45", "America/St_Johns",          "Europe/Berlin"};
  for (const char* tz : zones) {
    ZoneScope scope(tz);
    for (int attempt = 0; attempt < 5; ++attempt) {
      const time_t before = time(nullptr);
      LocalTime local;
      ZoneRecord zone;
      int period = 0;
      platform_local_time(&local, &zone, &period);
      if (time(nullptr) != before) continue;  // the second turned meanwhile
      struct tm expected = {};
      ASSERT_NE(localtime_r(&before, &expected), nullptr);
      const long in_force =
          zone.bias + (period == kPeriodStandard ? zone.standard_bias : zone.daylight_bias);
      EXPECT_EQ(-in_force, expected.tm_gmtoff / 60) << tz;
      EXPECT_EQ(period, expected.tm_isdst > 0 ? kPeriodDaylight : kPeriodStandard) << tz;
      EXPECT_EQ(local.year, expected.tm_year + 1900) << tz;
      EXPECT_EQ(local.month, expected.tm_mon + 1) << tz;
      EXPECT_EQ(local.day_of_week, expected.tm_wday) << tz;
      EXPECT_EQ(local.day, expected.tm_mday) << tz;
      EXPECT_EQ(local.hour * 3600 + local.minute * 60 + local.second,
                expected.tm_hour * 3600 + expected.tm_min * 60 + expected.tm_sec)
          << tz;
      break;
    }
  }
}

TEST(PlatformLocalTime, FixedZonesComeOutInTheDateLine) {
  // Daylight time all year round (from 1 January 0:00 to past the end of
  // 31 December) stands in for a summer day.
  const struct {
    const char* tz;
    const char* zone;
    int period;
  } rows[] = {{"UTC0", "+0000", kPeriodStandard},
              {"NST3:30", "-0330", kPeriodStandard},
              {"<+0530>-5:30", "+0530", kPeriodStandard},
              {"NST3:30NDT,J1/0,J365/25", "-0230", kPeriodDaylight},
              {"EST5EDT,J1/0,J365/25", "-0400", kPeriodDaylight}};
  for (const auto& row : rows) {
    ZoneScope scope(row.tz);
    LocalTime local;
    ZoneRecord zone;
    int period = 0;
    platform_local_time(&local, &zone, &period);
    EXPECT_EQ(period, row.period) << row.tz;
    const std::string line = format_date_header(local, zone, period);
    EXPECT_EQ(line.substr(32), std::string(row.zone) + "\r\n") << row.tz;
  }
}

}  // namespace
