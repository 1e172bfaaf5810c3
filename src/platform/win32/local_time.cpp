// Local time and the time zone over kernel32.
#include <windows.h>

#include "platform/platform.h"

void platform_local_time(LocalTime* time, ZoneRecord* zone, int* period) {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  time->year = now.wYear;
  time->month = now.wMonth;
  time->day_of_week = now.wDayOfWeek;
  time->day = now.wDay;
  time->hour = now.wHour;
  time->minute = now.wMinute;
  time->second = now.wSecond;

  TIME_ZONE_INFORMATION info{};
  DWORD code = GetTimeZoneInformation(&info);
  if (code == TIME_ZONE_ID_INVALID) {
    *zone = ZoneRecord{};
    *period = kPeriodStandard;
    return;
  }
  zone->bias = info.Bias;
  zone->standard_bias = info.StandardBias;
  zone->daylight_bias = info.DaylightBias;
  // TIME_ZONE_ID_UNKNOWN: the zone keeps no daylight time (or its automatic
  // adjustment is off), yet the record may still carry a daylight bias (Wine
  // gives -60 for UTC). The bias in force is then the zone's own: no daylight
  // bias applies, so the date line shows the true offset.
  if (code == TIME_ZONE_ID_UNKNOWN) zone->daylight_bias = 0;
  *period = static_cast<int>(code);
}
