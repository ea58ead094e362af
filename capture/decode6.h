// Reading an IPv6 packet for flow accounting: the fixed header, the
// extension-header chain and the first bytes of the transport header after
// it. Pure; used by packet decoding on the capture thread, and by tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ip6_address.h"

// Extension headers skipped at most; one more makes the packet malformed.
inline constexpr int kMaxExtensionHeaders = 8;

// What one IPv6 packet contributes to its flow. Ports are ICMPv6 type and
// code for ICMPv6, 0 when `noPorts`.
struct Ipv6Fields {
  Ip6Address src;
  Ip6Address dst;
  uint8_t proto = 0;      // the protocol that ends the chain (50 ESP and 59 no next header included)
  uint8_t dscp = 0;       // traffic class >> 2
  uint8_t tcpFlags = 0;   // 0 unless TCP with ports
  bool noPorts = false;   // not TCP, UDP or ICMPv6 with its header: ports 0, no owner
  uint16_t srcport = 0;
  uint16_t dstport = 0;
  uint32_t flowLabel = 0; // 20 bits
  uint32_t length = 0;    // bytes counted: see readIpv6
  uint32_t transportAt = 0; // offset of the transport header when it has ports
};

enum class Ipv6Read {
  kRecord,     // `out` is complete: the packet counts into a flow
  kMalformed,  // shorter than its headers say, or more than kMaxExtensionHeaders of them
};

// Reads the `length` bytes received at `d` (from the IPv6 header on; version
// 6 is not checked). `wireLength` is the packet's length on the wire,
// SIZE_MAX when unknown. Never reads past `length`.
//
// The chain: hop-by-hop (0), routing (43), destination options (60) and
// fragment (44) headers are skipped by their length in 8-byte units, AH (51)
// by its length in 4-byte units; any other protocol ends it. TCP, UDP and
// ICMPv6 have their ports (type and code) read; every other protocol, ESP
// (50) and no next header (59) included, counts with ports 0. A fragment
// with a non-zero offset ends the chain too: its protocol is the fragment
// header's next header, with ports 0 whatever it is.
//
// The length counted is 40 + payload length, never more than the wire length
// (or, when that is unknown, unlimited). Payload length 0 claims nothing
// (a jumbogram, or a send whose length the system left to the network card):
// the Jumbo Payload option of a hop-by-hop header then gives the length, else
// the wire length, else the bytes received. `out.length` is set for every
// result but kMalformed.
Ipv6Read readIpv6(const uint8_t* d, size_t length, size_t wireLength, Ipv6Fields& out);
