// What the dialogue asks of an ESMTP server beyond the login: the
// extensions read from the EHLO reply, and the parameters of MAIL and RCPT
// for delivery notices (RFC 3461), international addresses (RFC 6531) and
// 8-bit bodies (RFC 6152).
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Bits of MailerState::server_offers.
constexpr unsigned kOffersDsn = 1;
constexpr unsigned kOffers8BitMime = 2;
constexpr unsigned kOffersSmtpUtf8 = 4;

// The kOffers* bit of the extension one line of an EHLO reply names
// ("250-DSN", "250 smtputf8"); 0 for any other.
unsigned extension_named(std::string_view line);

// The extensions named by the lines after the first of an EHLO reply
// (keywords in any case), as kOffers* bits.
unsigned offered_extensions(const std::vector<std::string>& ehlo_lines);

// True when the text holds a byte above 127: an address that needs SMTPUTF8.
bool is_international(std::string_view address);

// The -dsn value as NOTIFY takes it ("SUCCESS,FAILURE", "NEVER"), or the
// empty text when it is not "never" or a comma-separated list of success,
// failure and delay (any case, each once).
std::string dsn_notify(std::string_view typed);

// RFC 3461's xtext: printable ASCII but "+" and "=" as it stands, every
// other byte as "+" and two upper-case hex digits.
std::string xtext(std::string_view text);

// ENVID's value for a Message-ID: what goes between its "<" and "@"; empty
// without one.
std::string_view envid_of(std::string_view message_id);

// The parameters after "MAIL From:<...>" (each with its leading blank):
// BODY=8BITMIME, SMTPUTF8, RET=HDRS and ENVID=<envid> as asked and offered.
std::string mail_parameters(bool eight_bit_body, bool international, bool dsn,
                            std::string_view envid);
