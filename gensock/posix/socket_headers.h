// The system headers that declare getaddrinfo and its types here.
#pragma once

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
