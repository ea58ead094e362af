// The metrics endpoint: a second HTTP server, on the address the
// metricsListen setting names only, answering GET /metrics with the metrics
// in the Prometheus text format, without Digest (scrapers cannot answer it);
// with metricsToken set, only requests that carry it as a bearer token. Its
// connections are under the web interface's limits. Started once, by main.
#pragma once

#include <cstdint>
#include <string>

#include "platform/ip6_address.h"

// An address and port to listen on.
struct ListenAddress {
  bool ipv6 = false;
  uint32_t ipv4 = 0;  // host order
  Ip6Address ip6;
  uint16_t port = 0;
};

// "a.b.c.d:PORT" or "[IPv6]:PORT", the port a whole number from 1 to 65535;
// false for anything else (a host name, no port).
bool parseListenAddress(const std::string& text, ListenAddress& out);

// The address as parseListenAddress reads it.
std::string listenAddressText(const ListenAddress& address);

// True when `token` may be sent as a bearer token (RFC 6750: letters,
// digits and -._~+/, then any "="), and is not empty.
bool isBearerToken(const std::string& token);

// True when the Authorization header `header` (null: absent) carries
// "Bearer " and `token`; the token is compared in time that does not depend
// on where it differs.
bool bearerTokenMatches(const char* header, const std::string& token);

// Reads metricsListen and metricsToken and starts the server when
// metricsListen names an address ("" or absent: off). Prints one line: where
// the metrics are, or why they are off.
void startMetricsServer();
