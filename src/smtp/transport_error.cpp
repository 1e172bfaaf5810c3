// STUB: to be written.
#include "smtp/transport_error.h"
void report_transport_error(const char*, int) {}
