// The system's TCP and UDP endpoint tables with the process that owns each
// endpoint: the IPv4 ones (IPv6 sockets that carry IPv4 included), and the
// IPv6 ones with their full ends. Plain rows out, no logic; called by the
// owner look-up worker (any thread may call).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/ip6_address.h"

struct EndpointRow {
  uint32_t localAddr = 0;  // host order
  uint16_t localPort = 0;  // host order
  uint32_t pid = 0;        // owning process; 0 when the system names none
};

enum class EndpointStatus {
  kOk,
  kNoMemory,    // no buffer for the table could be had
  kReadFailed,  // the table function failed; `code` holds its result
};

// An IPv6 socket's two ends. Remote :: and port 0: no peer (a listener, an
// unconnected UDP socket).
struct EndpointRow6 {
  Ip6Address localAddr;    // network order; ::: any local address
  Ip6Address remoteAddr;   // network order
  uint16_t localPort = 0;  // host order
  uint16_t remotePort = 0; // host order
  uint32_t pid = 0;        // owning process; 0 when the system names none
};

// How a read of one table went.
struct EndpointRead {
  EndpointStatus status = EndpointStatus::kOk;
  int code = 0;                   // the system's result code when kReadFailed
  std::string function;           // the table function (or file) that was read
};

struct EndpointTable : EndpointRead {
  std::vector<EndpointRow> rows;  // empty unless kOk
};

struct EndpointTable6 : EndpointRead {
  std::vector<EndpointRow6> rows;  // empty unless kOk
};

// Says which local ports' owners the caller needs. Where finding owners is
// costly, a row of any other port may carry pid 0; an empty filter asks for
// every owner.
using OwnerFilter = std::function<bool(uint16_t localPort)>;

// Every IPv4 TCP endpoint, whatever its state, sorted by local address, local
// port, remote address and remote port. IPv6 sockets that carry IPv4 (see
// ipv4EndsOfIpv6Socket), which the systems list only among their IPv6
// endpoints, are rows too, with their IPv4 ends.
EndpointTable readTcpEndpoints(const OwnerFilter& ownerWanted = {});

// Every IPv4 UDP endpoint, the same IPv6 ones included, sorted by local
// address and local port.
EndpointTable readUdpEndpoints(const OwnerFilter& ownerWanted = {});

// Every IPv6 TCP and UDP endpoint with its full ends, whatever its state:
// true IPv6 sockets, dual-stack ones on :: among them (they take IPv6 too);
// not those whose ends are IPv4-mapped addresses, which carry IPv4 only. In
// no particular order. A system without IPv6 gives no rows.
EndpointTable6 readTcp6Endpoints(const OwnerFilter& ownerWanted = {});
EndpointTable6 readUdp6Endpoints(const OwnerFilter& ownerWanted = {});

// Whether an IPv6 socket carries IPv4, and its ends as IPv4 if so: its local
// address is the unspecified one (::) and it is not IPv6-only, or an
// IPv4-mapped one (::ffff:a.b.c.d); and its remote address is unspecified or
// mapped as well. Addresses are the 16 bytes in network order; the IPv4 ends
// come out in host order, 0 for ::. Pure; the same on every system.
bool ipv4EndsOfIpv6Socket(const uint8_t local[16], const uint8_t remote[16], bool v6only, uint32_t& localAddr,
                          uint32_t& remoteAddr);

// The two ends of one packet as a local socket would see them, host order.
struct SocketEnds {
  uint32_t localAddr = 0;
  uint16_t localPort = 0;
  uint32_t remoteAddr = 0;
  uint16_t remotePort = 0;
};

// The same for an IPv6 packet.
struct SocketEnds6 {
  Ip6Address localAddr;
  uint16_t localPort = 0;
  Ip6Address remoteAddr;
  uint16_t remotePort = 0;
};

enum class SocketPresence {
  kPresent,  // the endpoint table lists a socket that would take the packet
  kAbsent,   // it lists none: reading the table could not find the port
  kUnknown,  // the system cannot say cheaply, or asking failed
};

// Asks the system, without walking its socket tables, whether a socket would
// take an IPv4 packet between `ends`: the connection itself (any state), or
// a socket listening on or bound to the local port, IPv6 sockets that carry
// IPv4 included. Costs microseconds where the system can answer; kUnknown
// elsewhere, and the caller reads the table.
SocketPresence probeTcpSocket(const SocketEnds& ends);
SocketPresence probeUdpSocket(const SocketEnds& ends);
// The same for an IPv6 packet between `ends`, IPv6 sockets only.
SocketPresence probeTcp6Socket(const SocketEnds6& ends);
SocketPresence probeUdp6Socket(const SocketEnds6& ends);

// Forgets what the calling thread has learnt about socket owners between
// reads, so the next read starts from nothing, and closes what the probes
// keep open (no effect where nothing is kept). Call it after moving the
// thread to another network namespace.
void forgetEndpointOwners();
