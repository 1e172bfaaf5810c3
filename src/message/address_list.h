// Address lists: cleaning typed lists and building the envelope list.
#pragma once

#include <string>

#include "quib/mailer_state.h"

// Cleans one typed address list: each pass drops one run of blanks, then one
// comment in parentheses, then one stretch in single quotes, then copies one
// character. An unclosed comment or quote runs to the end of the list.
// Returns the cleaned text, never longer than the source.
std::string clean_address_list(const char* source);

// Builds state.recipients from to_list, cc_list and bcc_list: the cleaned
// To list, then "," and the cleaned list for each non-empty typed Cc and Bcc.
void build_recipient_list(MailerState& state);
