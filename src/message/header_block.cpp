// STUB: to be written.
#include "message/header_block.h"
std::string format_date_header(const LocalTime&, const ZoneRecord&, int) { return {}; }
void build_header_block(const MailerState&, const char*, std::string*) {}
