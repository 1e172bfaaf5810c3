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

// The addresses that RCPT carries for one typed list, joined with commas:
// the list split at commas outside double quotes, angle brackets, comments
// and single-quoted stretches; for each element the address inside its
// angle brackets when it has one, else the element cleaned as above. A list
// without double quotes and angle brackets gives its cleaned text.
std::string envelope_addresses(const char* typed);

// The same for to_list, cc_list and bcc_list, joined as build_recipient_list
// joins them: what the RCPT commands are split from.
std::string build_envelope_list(const MailerState& state);
