// IP addresses as text: IPv4 dotted decimal, IPv6 in the RFC 5952 form.
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/ip6_address.h"

// A host-order address as dotted decimal: 167772161 -> "10.0.0.1".
std::string ipToDotted(uint32_t address);

// Dotted decimal to a host-order address; false when `text` is not exactly
// four decimal numbers 0..255, without leading zeros, joined by dots.
bool parseDotted(const std::string& text, uint32_t& address);

// An IPv6 address as RFC 5952 text: lower-case hexadecimal groups without
// leading zeros, the longest run of two or more zero groups (the first of
// equal runs) as "::", and an IPv4-mapped address as "::ffff:a.b.c.d".
std::string ip6Text(const Ip6Address& address);

// IPv6 text (RFC 4291 section 2.2: full, "::"-compressed, or with a dotted
// IPv4 tail; hexadecimal in either case) to an address; false for anything
// else, a zone ("%eth0") or brackets included.
bool parseIp6(const std::string& text, Ip6Address& address);
