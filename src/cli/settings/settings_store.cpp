// STUB: to be written.
#include "cli/settings/settings_store.h"
int load_settings() { return 12; }
int save_settings() { return 10; }
