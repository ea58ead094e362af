// Linux socket tables as the kernel gives them (netlink sock_diag, or the
// text of /proc/net/tcp and /proc/net/udp), before owners are attached.
// Used by the Linux endpoint reader and its tests; any thread.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/ip6_address.h"

struct SocketRow {
  uint32_t localAddr = 0;   // host order; IPv4 rows
  uint32_t remoteAddr = 0;  // host order; IPv4 rows
  Ip6Address localAddr6;    // network order; IPv6 rows
  Ip6Address remoteAddr6;   // network order; IPv6 rows
  uint16_t localPort = 0;   // host order
  uint16_t remotePort = 0;  // host order
  uint64_t inode = 0;       // 0 for sockets no file holds (time-wait, half-open)
  uint32_t pid = 0;         // filled in by the owner search; 0 when none was found
};

// Parses the text of /proc/net/tcp or /proc/net/udp, or of tcp6 or udp6,
// into `rows`, appending. IPv6 lines become rows only where
// ipv4EndsOfIpv6Socket keeps them (the file does not say which sockets are
// IPv6-only: every one on :: is kept). The header line and any line that
// does not parse are skipped.
void parseProcNetSockets(std::string_view text, std::vector<SocketRow>& rows);

// Every socket of `protocol` (IPPROTO_TCP or IPPROTO_UDP) that carries IPv4
// in the calling thread's network namespace, in every state, through
// netlink: the AF_INET ones, and the AF_INET6 ones ipv4EndsOfIpv6Socket
// keeps, with their IPv4 ends. On failure returns false with an errno value
// in `error`.
bool readNetlinkSockets(uint8_t protocol, std::vector<SocketRow>& rows, int& error);

// Asks the kernel, through the sock_diag socket `fd` (NETLINK_SOCK_DIAG,
// opened in the namespace to ask about), for the one AF_INET socket of
// `protocol` that would take a packet from remote to local: the connection
// itself, or a listening or bound socket of the local port. The kernel looks
// it up in its hash tables instead of walking them. Returns 1 when there is
// one (an IPv6 socket that takes IPv4 included), 0 when there is none, and
// -1 with errno in `error` when the question could not be asked or answered.
int probeNetlinkSocket(int fd, uint8_t protocol, uint32_t localAddr, uint16_t localPort, uint32_t remoteAddr,
                       uint16_t remotePort, int& error);

// The same from a /proc/net file. On failure returns false with errno.
bool readProcNetSockets(const char* path, std::vector<SocketRow>& rows, int& error);

// IPv6 rows with their full ends (localAddr6, remoteAddr6): every IPv6 line
// of /proc/net/tcp6 or udp6 text, and every AF_INET6 socket of `protocol`
// through netlink, except those whose ends are IPv4-mapped addresses (they
// carry IPv4 only). Same contracts as the IPv4 forms above.
void parseProcNetSockets6(std::string_view text, std::vector<SocketRow>& rows);
bool readProcNetSockets6(const char* path, std::vector<SocketRow>& rows, int& error);
bool readNetlinkSockets6(uint8_t protocol, std::vector<SocketRow>& rows, int& error);

// probeNetlinkSocket for an IPv6 packet, AF_INET6 sockets only.
int probeNetlinkSocket6(int fd, uint8_t protocol, const Ip6Address& localAddr, uint16_t localPort,
                        const Ip6Address& remoteAddr, uint16_t remotePort, int& error);

// Orders TCP rows by local address, local port, remote address, remote
// port, and UDP rows by local address and local port; equal rows by pid.
void sortTcpRows(std::vector<SocketRow>& rows);
void sortUdpRows(std::vector<SocketRow>& rows);
