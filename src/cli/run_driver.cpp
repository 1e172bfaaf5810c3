// STUB: to be written.
#include "cli/run_driver.h"
int run_driver() { return -1; }
