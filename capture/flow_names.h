// Naming flows from what the host says on the wire: which packets carry
// names, and the glue between packet decoding and the name parsers and the
// DNS name table. Capture thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "flow/peer_name.h"

// Whether packets are read for names (the peerNames setting, taken at each
// capture start); true until set.
extern bool peerNamesOn;
// Sets peerNamesOn; false also empties the DNS name table.
void setPeerNames(bool on);

// What a TCP or UDP packet with ports may say about names.
enum class NamePacket : uint8_t {
  kNone = 0,
  kDns,   // to or from port 53
  kTls,   // TCP payload beginning with a TLS handshake record (16 03)
  kQuic,  // UDP payload beginning with a QUIC version 1 or 2 long header
};

// Sorts one packet by its protocol, ports (host order) and the `length`
// payload bytes received at `payload`. Cheap: it runs for every packet.
inline NamePacket namePacketOf(uint8_t proto, uint16_t srcport, uint16_t dstport, const uint8_t* payload,
                               size_t length) {
  if (srcport == 53 || dstport == 53) return NamePacket::kDns;
  if (proto == 6) {
    return length >= 2 && payload[0] == 0x16 && payload[1] == 0x03 ? NamePacket::kTls : NamePacket::kNone;
  }
  if (length < 5 || (payload[0] & 0xc0) != 0xc0) return NamePacket::kNone;
  const uint32_t version = static_cast<uint32_t>(payload[1]) << 24 | static_cast<uint32_t>(payload[2]) << 16 |
                           static_cast<uint32_t>(payload[3]) << 8 | payload[4];
  return version == 0x00000001u || version == 0x6b3343cfu ? NamePacket::kQuic : NamePacket::kNone;
}

// The server name a TLS ClientHello (kTls) or QUIC client Initial (kQuic)
// payload carries, or none.
PeerName ownServerName(NamePacket kind, const uint8_t* payload, size_t length);

// The name this host's DNS last gave for the address (4 or 16 bytes,
// network order, by `family`), or none.
PeerName dnsPeerName(uint8_t family, const uint8_t* address, uint64_t now);
