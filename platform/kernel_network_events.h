// The TCP and UDP events of the Windows kernel's network event provider
// (Microsoft-Windows-Kernel-Network, {7DD42A49-5329-4832-8DFD-43D979153A88}),
// turned from their payload bytes into socket-owner events. Pure code, no
// system calls: any thread, any system (the decoding is tested on Linux).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/owner_events.h"

// The events used, by id. Each id is unique within the provider (the
// opcodes repeat between its TCP and UDP tasks), so the id alone says what
// an event is.
enum KernelNetworkEventId : uint16_t {
  kTcpSend4 = 10,
  kTcpReceive4 = 11,
  kTcpConnect4 = 12,
  kTcpDisconnect4 = 13,
  kTcpRetransmit4 = 14,
  kTcpAccept4 = 15,
  kTcpReconnect4 = 16,
  kTcpSend6 = 26,
  kTcpReceive6 = 27,
  kTcpConnect6 = 28,
  kTcpDisconnect6 = 29,
  kTcpRetransmit6 = 30,
  kTcpAccept6 = 31,
  kTcpReconnect6 = 32,
  kUdpSend4 = 42,
  kUdpReceive4 = 43,
  kUdpSend6 = 58,
  kUdpReceive6 = 59,
};

// The ids a trace session asks the provider for: every TCP and UDP event
// above. (TCP sends and receives name connections opened before the
// session started.)
inline constexpr uint16_t kKernelNetworkEventIds[] = {
    kTcpSend4,   kTcpReceive4,   kTcpConnect4, kTcpDisconnect4, kTcpRetransmit4, kTcpAccept4, kTcpReconnect4,
    kTcpSend6,   kTcpReceive6,   kTcpConnect6, kTcpDisconnect6, kTcpRetransmit6, kTcpAccept6, kTcpReconnect6,
    kUdpSend4,   kUdpReceive4,   kUdpSend6,    kUdpReceive6};

// Bytes of the fields read, at the start of every payload of a family:
// PID, size, daddr, saddr, dport, sport.
inline constexpr size_t kKernelNetworkPrefix4 = 20;
inline constexpr size_t kKernelNetworkPrefix6 = 44;

// Decodes the payload of event `id` (`size` bytes at `payload`) into `out`
// and returns how many owner events it makes:
//   TCP connect, accept, reconnect, send, receive, retransmit: one kOwned;
//   TCP disconnect: one kClosed;
//   UDP send, receive: a kOwned and a kClosed of the same socket, so that
//     the ends name their process for the owner table's grace period after
//     the socket was last seen in use (the provider reports no UDP close).
// Returns 0, leaving `out` as it was, for an id not listed above, a payload
// shorter than its family's prefix, a local port of 0, a TCP event without
// a peer, or an IPv6 event whose ends mix IPv4 and IPv6. An IPv6 event of a
// dual-stack socket carrying IPv4 (::ffff:a.b.c.d ends) comes out as IPv4,
// the family its packets have on the wire.
// The cookie is made from the protocol and both ends (the provider's connid
// is a kernel address, reused once freed), so a disconnect closes exactly
// the ends its connection was recorded under. pid 0 stays 0 (the owner
// table then keeps the socket's owner); uid, comm and netns stay 0.
size_t decodeKernelNetworkEvent(uint16_t id, const uint8_t* payload, size_t size, OwnerEvent (&out)[2]);
