// STUB: to be written.
#include "gensock.h"
int gensock_connect(const char*, const char*, gensock_handle_t*) { return GENSOCK_ERR_INIT; }
int gensock_getchar(gensock_handle_t, int, char*) { return GENSOCK_ERR_INIT; }
int gensock_put_data(gensock_handle_t, const char*, unsigned long) { return GENSOCK_ERR_INIT; }
int gensock_put_data_buffered(gensock_handle_t, const char*, unsigned long) { return GENSOCK_ERR_INIT; }
int gensock_put_data_flush(gensock_handle_t) { return GENSOCK_ERR_INIT; }
int gensock_close(gensock_handle_t) { return GENSOCK_ERR_INIT; }
int gensock_gethostname(char*, int) { return GENSOCK_ERR_INIT; }
