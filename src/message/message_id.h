// The Message-ID field (RFC 5322 3.6.4): made from a time stamp, random
// bytes and a domain, or given by the user and checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "quib/mailer_state.h"

// Random bytes in a Message-ID: 16 hex digits.
constexpr std::size_t kMessageIdRandomBytes = 8;

// "<" seconds "." the random bytes in hex "@" domain ">": the domain is
// host when it holds a dot, else the domain of sender (after its last "@"),
// else host; characters that cannot stand in a dot-atom are dropped
// ("localhost" when nothing is left).
std::string make_message_id(std::int64_t seconds, const unsigned char* random,
                            std::string_view host, std::string_view sender);

// True for "<" dot-atom-text "@" (dot-atom-text or "[" dtext "]") ">".
bool valid_message_id(std::string_view id);

// True when the run writes a Message-ID: -msgid, or any option beyond the
// classic ones that shapes the message or its delivery (-u, -attach,
// -html, -charset, -queue, -oauth, -passcmd, -header, -embed, -dsn, -8bit,
// -rcpt-skip-refused: delivery_options);
// never for a -penguin body, which writes its own header.
bool wants_message_id(const MailerState& state, bool delivery_options);
