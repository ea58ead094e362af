// The flow record (one direction of one conversation) and its key. Plain
// values: any thread may hold copies.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/flow_owner.h"

struct FlowRecord {
  int32_t pkts = 1;         // packets counted; 1 at creation
  int32_t bytes = 0;        // sum of IPv4 total lengths, wraps modulo 2^32
  uint32_t srcip = 0;       // host byte order
  uint32_t dstip = 0;       // host byte order
  uint16_t replydelay = 0;  // ms from first packet to the first reply (TCP)
  uint16_t srcport = 0;     // host order; ICMP type for ICMP
  uint16_t dstport = 0;     // host order; ICMP code for ICMP
  uint16_t inif = 0;        // 1 when inbound
  uint16_t outif = 0;       // 1 when outbound
  uint8_t flags = 0;        // OR of TCP flags; 0 for UDP and ICMP
  uint8_t tos = 0;          // DSCP, 0..63
  uint8_t proto = 0;        // 1, 6 or 17
  uint64_t firstseen = 0;   // ms since 1970
  uint64_t lastseen = 0;    // ms since 1970
  OwnerRef owner;           // null when no owner was found (always for ICMP)

  const std::string& processname() const;
  const std::string& user() const;
  const std::string& domain() const;
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

// A new record: pkts 1, replydelay 0, firstseen = lastseen = now.
FlowRecord makeFlowRecord(uint16_t inif, uint16_t outif, uint8_t proto, uint32_t srcip, uint32_t dstip,
                          uint16_t srcport, uint16_t dstport, uint16_t totalLength, uint8_t flags,
                          uint8_t tos, uint64_t now, OwnerRef owner);

// Counts one more packet into `r`. `tcpFlags` is ORed in only for TCP.
inline void countPacket(FlowRecord& r, uint64_t now, uint16_t totalLength, uint8_t tcpFlags) {
  r.lastseen = now;
  r.pkts += 1;
  r.bytes = static_cast<int32_t>(static_cast<uint32_t>(r.bytes) + totalLength);
  if (r.proto == 6) r.flags |= tcpFlags;
}
