// Packet decoding: one received IPv4 datagram becomes flow accounting (find or
// create its record, count it, look up a new flow's owner) followed by the
// sweep check. Capture thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "flow/flow_record.h"
#include "platform/endpoints.h"
#include "process/owner_table.h"

// Decodes the `length` bytes received at `datagram` (starting at the IPv4
// header). `localAddress` is the listener address in host order; `now` the
// packet time in ms since 1970.
//
// Not IPv4: prints "Packet  unsupported version %i  " and does nothing else
// (no sweep check); the same version again within a second of packet time is
// only counted, and the next line for it says how many were left out. Too short for what is read (no version byte, header
// length below 5 words, fewer bytes than the header length, or the transport
// fields of TCP (14 bytes), UDP (4) or ICMP (2) beyond the bytes received):
// no record and no owner lookup, but the sweep check still runs so finished
// flows keep moving. The byte count is the header's total length, but never
// more than `wireLength`, the datagram's length on the wire (0: `length`,
// the datagram came whole).
//
// A fragment other than the first carries no transport header: a TCP or UDP
// one is counted into the flow of its addresses with ports 0 (and flags 0),
// without an owner lookup; an ICMP one changes nothing, as ICMP records are
// never counted into.
//
// Locking: flowTableMutex is held for the find-and-count of a known flow and
// for the insert of a new one, never across the owner lookup.
void decodePacket(const uint8_t* datagram, size_t length, uint32_t localAddress, uint64_t now,
                  size_t wireLength = 0);

// Owner lookups for new TCP and UDP flows (now, the packet's ends as the
// local socket sees them with the flow's DSCP and direction, owner to fill). They default to lookupTcpOwner and
// lookupUdpOwner (owner events, then port tables); tests and benchmarks
// replace them. Set only while
// capture is not running.
using OwnerLookup = void (*)(uint64_t now, const OwnerQuery& query, OwnerRef& owner);
extern OwnerLookup tcpOwnerLookup;
extern OwnerLookup udpOwnerLookup;
// The same for IPv6 flows (defaults lookupTcpOwner6 and lookupUdpOwner6).
using OwnerLookup6 = void (*)(uint64_t now, const OwnerQuery6& query, OwnerRef& owner);
extern OwnerLookup6 tcpOwnerLookup6;
extern OwnerLookup6 udpOwnerLookup6;
