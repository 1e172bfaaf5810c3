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
  *period = static_cast<int>(code);
}
