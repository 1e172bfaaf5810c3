// Local time and zone from the C library.
#include <time.h>

#include "platform/platform.h"

// The C library gives the offset in force at this moment (tm_gmtoff, daylight
// saving included), so it goes whole into bias and the two period biases
// stay 0: the bias in force is then the true offset of the moment, whichever
// period is reported.
void platform_local_time(LocalTime* time_out, ZoneRecord* zone, int* period) {
  *time_out = LocalTime();
  *zone = ZoneRecord();
  *period = kPeriodStandard;
  const time_t now = time(nullptr);
  struct tm local = {};
  if (now == static_cast<time_t>(-1)) return;
  if (localtime_r(&now, &local) == nullptr) {
    // No zone to be had: the time of day in UTC, zone all zero, standard.
    if (gmtime_r(&now, &local) == nullptr) return;
    local.tm_gmtoff = 0;
    local.tm_isdst = 0;
  }
  time_out->year = local.tm_year + 1900;
  time_out->month = local.tm_mon + 1;
  time_out->day_of_week = local.tm_wday;
  time_out->day = local.tm_mday;
  time_out->hour = local.tm_hour;
  time_out->minute = local.tm_min;
  // A leap second (60) is written as it is.
  time_out->second = local.tm_sec;
  zone->bias = -(local.tm_gmtoff / 60);
  if (local.tm_isdst > 0) *period = kPeriodDaylight;
}
