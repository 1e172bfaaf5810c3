// STUB: to be written.
#include "platform/platform.h"
void platform_local_time(LocalTime*, ZoneRecord*, int* period) { *period = kPeriodStandard; }
