// STUB: to be written.
#include "message/address_list.h"
std::string clean_address_list(const char*) { return {}; }
void build_recipient_list(MailerState&) {}
