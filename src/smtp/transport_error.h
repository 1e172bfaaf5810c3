// Transport error codes of the socket library, put into words.
#pragma once

#include <string>

// Prints the code's message (4001 to 4017), or "error <code> in function
// '<context>'" for any other code. No line end; nothing when quiet. While a
// transcript is kept, notes it there and returns that note for the failure line.
std::string report_transport_error(const char* context, int code);

// The code's message without printing it (as above, context naming the call).
std::string transport_error_message(const char* context, int code);
