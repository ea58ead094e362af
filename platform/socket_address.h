// The text of a socket address as the system writes it (dotted decimal for
// IPv4, the usual short form for IPv6), without the port. Any thread.
#pragma once

#include <string>

struct sockaddr;

// Empty for a null address or a family other than IPv4 and IPv6.
std::string socketAddressText(const sockaddr* address);
