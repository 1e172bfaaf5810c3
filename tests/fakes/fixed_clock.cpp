// The clock of the unit tests, in the platform clock's place: it always
// reads Monday 5 February 1996, 09:03:07, one hour east of UTC (standard
// time), so the date line is "Date: Mon, 05 Feb 1996 09:03:07 +0100".
#include "platform/platform.h"

void platform_local_time(LocalTime* time, ZoneRecord* zone, int* period) {
  *time = LocalTime{1996, 2, 1, 5, 9, 3, 7};
  *zone = ZoneRecord{-60, 0, 0};
  *period = kPeriodStandard;
}
