// STUB: to be written.
#include "smtp/smtp_dialogue.h"
int smtp_connect() { return -1; }
int smtp_read_reply() { return -1; }
int smtp_send(gensock_handle_t, const char*, unsigned long) { return -1; }
void smtp_abort(const std::string&) {}
int smtp_open_transaction(const char*, const std::string&) { return -1; }
int send_message_text(gensock_handle_t, const char*, std::size_t) { return -1; }
int smtp_finish_message(const char*, std::size_t) { return -1; }
int smtp_quit() { return -1; }
int smtp_disconnect() { return -1; }
