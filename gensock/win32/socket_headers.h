// The system headers that declare getaddrinfo and its types here.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
