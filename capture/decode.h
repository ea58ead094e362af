// Packet decoding: one received IPv4 datagram or IPv6 packet becomes flow
// accounting (find or create its record, count it, look up a new flow's
// owner) followed by the sweep check. Capture thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "flow/flow_record.h"
#include "platform/endpoints.h"
#include "process/owner_table.h"

// Decodes the `length` bytes received at `datagram` (starting at the IPv4 or
// IPv6 header). `localAddress` is the listener address in host order (an
// IPv6 packet is outbound when its source is one of the addresses of
// setLocalAddresses6); `now` the packet time in ms since 1970. Returns the
// bytes the packet counts for in the traffic history: its counted length, or
// the bytes received when it could not be read.
//
// Neither IPv4 nor IPv6: prints "Packet  unsupported version %i  " and does
// nothing else (no sweep check); the same version again within a second of
// packet time is only counted, and the next line for it says how many were
// left out. Too short for what is read (nothing received; for IPv4 a header
// length below 5 words, fewer bytes than the header length; for IPv6 the 40
// bytes of its header or an extension-header chain past the bytes received,
// or more than 8 extension headers; the transport fields of TCP (14 bytes),
// UDP (4), ICMP or ICMPv6 (2) beyond the bytes received): one more
// snifferPacketsMalformed, no record and no owner lookup, but the sweep check
// still runs so finished flows keep moving. The byte count is the header's
// length (IPv4 total length; 40 + IPv6 payload length, see readIpv6), but
// never more than `wireLength`, the packet's length on the wire (0: `length`,
// the datagram came whole; SIZE_MAX: unknown). An IPv4 total length below
// the header length claims nothing: the wire length (or the bytes received)
// counts instead. A packet not read (malformed, or of another version)
// counts its wire length when that is known, since the capture may have cut
// it to its headers.
//
// Every packet read makes or counts into a flow, whatever its protocol
// (IPv4: the protocol field; IPv6: the protocol that ends its extension
// chain). TCP and UDP are keyed by their ports, ICMP and ICMPv6 by type and
// code; every other protocol has ports 0 and no owner lookup. Every packet
// adds to pkts and bytes and moves lastseen, ICMP included. A fragment other
// than the first carries no transport header: it counts into the flow of its
// addresses and protocol with ports 0 (and flags 0), without an owner
// lookup. A record whose packets or bytes would pass 2^32 - 1 is ended and
// begun again (countIntoFlow).
//
// Locking: flowTableMutex is held for the find-and-count of a known flow and
// for the insert of a new one, never across the owner lookup.
uint32_t decodePacket(const uint8_t* datagram, size_t length, uint32_t localAddress, uint64_t now,
                      size_t wireLength = 0);

// One received packet as the capture ring holds it.
struct CapturedPacket {
  const uint8_t* data = nullptr;  // from the IPv4 or IPv6 header on
  size_t length = 0;              // bytes at `data`
  size_t wireLength = 0;          // as decodePacket's
  uint64_t now = 0;               // packet time, ms since 1970
};

// Decodes `count` packets in order, each as decodePacket would, but with the
// sweep check once, after the last (at its time) instead of after each.
// Known IPv4 flows are found a batch at a time, the table's slots and
// records fetched ahead, and flowTableMutex is taken once per batch instead
// of once per packet. counted[i] receives packet i's byte count.
void decodePackets(const CapturedPacket* packets, size_t count, uint32_t localAddress, uint32_t* counted);

// Most addresses setLocalAddresses6 keeps; more are left out.
inline constexpr size_t kMaxLocalAddresses6 = 32;

// The watched interface's IPv6 addresses (link-local ones included), for the
// direction of IPv6 packets; none at first. Copied; called between packets
// by whoever decodes them.
void setLocalAddresses6(const Ip6Address* addresses, size_t count);

// Forgets which "unsupported version" lines were shown: the next frame of
// each version is reported in full again. Called between packets by whoever
// decodes them (capture, at the start of each run).
void resetVersionLines();

// Owner lookups for new TCP and UDP flows (now, the packet's ends as the
// local socket sees them with the flow's DSCP and direction, owner to fill).
// They default to quickTcpOwner and quickUdpOwner (owner events, then the
// port tables as last refreshed; a miss goes to the owner look-up worker);
// tests and benchmarks replace them. Set only while capture is not running.
using OwnerLookup = void (*)(uint64_t now, const OwnerQuery& query, OwnerRef& owner);
extern OwnerLookup tcpOwnerLookup;
extern OwnerLookup udpOwnerLookup;
// The same for IPv6 flows (defaults quickTcpOwner6 and quickUdpOwner6).
using OwnerLookup6 = void (*)(uint64_t now, const OwnerQuery6& query, OwnerRef& owner);
extern OwnerLookup6 tcpOwnerLookup6;
extern OwnerLookup6 udpOwnerLookup6;
