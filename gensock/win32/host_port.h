// Splits the host text that gensock_connect takes into host and service.
#pragma once

#include <string>

// "host:port" and "[v6-address]:port" name their own port, which replaces
// the service; "[v6-address]" loses its brackets; a bare IPv6 address (more
// than one colon) and a plain host name stay as they are with the service
// unchanged.
void split_host_port(const std::string& text, const std::string& service, std::string* host,
                     std::string* port);
