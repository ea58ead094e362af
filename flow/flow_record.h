// The flow record (one direction of one conversation) and its key, for IPv4
// and for IPv6. Plain values: any thread may hold copies.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "flow/peer_name.h"
#include "platform/ip6_address.h"
#include "runtime/flow_owner.h"

struct FlowRecord {
  uint32_t pkts = 1;        // packets counted; 1 at creation
  uint32_t bytes = 0;       // sum of packet lengths (IPv4 total, IPv6 40 + payload); never wraps, see countFits
  uint32_t srcip = 0;       // host byte order
  uint32_t dstip = 0;       // host byte order
  uint16_t replydelay = 0;  // ms from first packet to the first reply (TCP)
  uint16_t srcport = 0;     // host order; ICMP type for ICMP
  uint16_t dstport = 0;     // host order; ICMP code for ICMP
  uint8_t inif = 0;         // 1 when inbound
  uint8_t outif = 0;        // 1 when outbound
  uint8_t flags = 0;        // OR of TCP flags; 0 for UDP and ICMP
  uint8_t tos = 0;          // DSCP, 0..63
  uint8_t proto = 0;        // IP protocol number (for IPv6 the one that ends the header chain)
  uint8_t family = 4;       // 4, or 6 for the record of a FlowEntry with IPv6 ends
  PeerName peer;            // the remote end's name and where it came from; none at first
  uint64_t firstseen = 0;   // ms since 1970
  uint64_t lastseen = 0;    // ms since 1970
  OwnerRef owner;           // null when no owner was found (always for ICMP)

  const std::string& processname() const;
  const std::string& user() const;
  const std::string& domain() const;
  const std::string& peername() const { return peer.text(); }
  const char* namesource() const { return nameSourceText(peer.source()); }
  const std::string& service() const;
  const std::string& container() const;
};

// An IPv4 record stays this small: `family` and `peer` sit in what was padding.
static_assert(sizeof(FlowRecord) <= 64, "an IPv4 flow record grew");

// A flow of either family as the tables hand it out (finished flows, copies
// for readers) and as the IPv6 table holds it: the record, and for IPv6
// (family 6) its addresses and flow label, srcip and dstip staying 0. An
// IPv4 flow has all three zero.
struct FlowEntry : FlowRecord {
  Ip6Address srcip6;       // network order
  Ip6Address dstip6;       // network order
  uint32_t flowlabel = 0;  // the first packet's 20-bit flow label

  FlowEntry() = default;
  FlowEntry(const FlowRecord& record) : FlowRecord(record) {}  // NOLINT: an IPv4 flow widens silently
  FlowEntry(FlowRecord&& record) : FlowRecord(std::move(record)) {}  // NOLINT
  bool ipv6() const { return family == 6; }
};

struct FlowKey {
  uint32_t srcip;
  uint32_t dstip;
  uint16_t srcport;
  uint16_t dstport;
  uint8_t tos;
  uint8_t proto;

  bool operator==(const FlowKey& other) const = default;
  FlowKey reversed() const { return FlowKey{dstip, srcip, dstport, srcport, tos, proto}; }
};

// (srcip * 8 + dstip) * 2 + srcport + tos + proto in 32-bit arithmetic;
// dstport takes no part.
struct FlowKeyHash {
  size_t operator()(const FlowKey& k) const noexcept {
    uint32_t h = (k.srcip * 8u + k.dstip) * 2u + k.srcport + k.tos + k.proto;
    return h;
  }
};

inline FlowKey keyOf(const FlowRecord& r) {
  return FlowKey{r.srcip, r.dstip, r.srcport, r.dstport, r.tos, r.proto};
}

// The identity of an open IPv6 flow: the same six fields with IPv6
// addresses. Ports are ICMPv6 type and code for ICMPv6, as for ICMP.
struct FlowKey6 {
  Ip6Address srcip;
  Ip6Address dstip;
  uint16_t srcport = 0;
  uint16_t dstport = 0;
  uint8_t tos = 0;
  uint8_t proto = 0;

  bool operator==(const FlowKey6& other) const = default;
  FlowKey6 reversed() const { return FlowKey6{dstip, srcip, dstport, srcport, tos, proto}; }
};

inline FlowKey6 keyOf6(const FlowEntry& e) {
  return FlowKey6{e.srcip6, e.dstip6, e.srcport, e.dstport, e.tos, e.proto};
}

// A new record: pkts 1, replydelay 0, firstseen = lastseen = now.
FlowRecord makeFlowRecord(uint16_t inif, uint16_t outif, uint8_t proto, uint32_t srcip, uint32_t dstip,
                          uint16_t srcport, uint16_t dstport, uint32_t totalLength, uint8_t flags,
                          uint8_t tos, uint64_t now, OwnerRef owner);

// A new IPv6 entry, as makeFlowRecord makes an IPv4 record: family 6, srcip
// and dstip 0.
FlowEntry makeFlowEntry6(uint16_t inif, uint16_t outif, uint8_t proto, const Ip6Address& srcip,
                         const Ip6Address& dstip, uint16_t srcport, uint16_t dstport, uint32_t length,
                         uint8_t flags, uint8_t tos, uint32_t flowlabel, uint64_t now, OwnerRef owner);

// Counts stay 32 bits wide so a record keeps its size; instead of wrapping,
// a record that one more packet would take past 2^32 - 1 packets or bytes
// ends there and the packet begins a new record under the same key
// (countIntoFlow in flow_table.h). True while `r` can take one more packet
// of `length` bytes.
inline bool countFits(const FlowRecord& r, uint32_t length) {
  return r.bytes <= UINT32_MAX - length && r.pkts != UINT32_MAX;
}

// Counts one more packet into `r`, which countFits allows. `tcpFlags` is
// ORed in only for TCP.
inline void countPacket(FlowRecord& r, uint64_t now, uint32_t totalLength, uint8_t tcpFlags) {
  r.lastseen = now;
  r.pkts += 1;
  r.bytes += totalLength;
  if (r.proto == 6) r.flags |= tcpFlags;
}
