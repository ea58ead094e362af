// Payload layouts of the provider's TCP and UDP events, as its manifest
// gives them. Integers are little-endian unless marked; addresses and ports
// are in network order (manifest output types win:IPv4, win:IPv6 and
// win:Port). The event is told from the local socket's side: saddr and
// sport are the local end, daddr and dport the remote one, for sends and
// receives alike.
//
//   offset  IPv4 events     IPv6 events
//   0       PID    u32      PID    u32     the process owning the socket
//   4       size   u32      size   u32     bytes sent or received
//   8       daddr  4 bytes  daddr  16      remote address
//   12/24   saddr  4 bytes  saddr  16      local address
//   16/40   dport  u16 (BE) dport  u16     remote port
//   18/42   sport  u16 (BE) sport  u16     local port
//   20/44   what follows depends on the event:
//     TCP send (10, 26): startime u32, endtime u32, seqnum u32, connid pointer
//     TCP connect and accept (12, 28; 15, 31): mss u16, sackopt u16,
//       tsopt u16, wsopt u16, rcvwin u32, rcvwinscale u16, sndwinscale u16,
//       seqnum u32, connid pointer
//     TCP receive, disconnect, retransmit, reconnect (11, 27; 13, 29; 14, 30;
//       16, 32) and UDP send and receive (42, 58; 43, 59): seqnum u32,
//       connid pointer
// The fields after sport are not read: the pointer is as wide as the
// writer's (4 or 8 bytes), and later versions of an event may add fields at
// the end. So a payload needs only its family's prefix; one shorter than
// that is rejected.
#include "platform/kernel_network_events.h"

namespace {

enum class EventUse { kNone, kTcpOwned, kTcpClosed, kUdpSeen };

struct EventKind {
  EventUse use = EventUse::kNone;
  uint8_t family = 4;
};

EventKind kindOf(uint16_t id) {
  switch (id) {
    case kTcpSend4: case kTcpReceive4: case kTcpConnect4: case kTcpRetransmit4: case kTcpAccept4:
    case kTcpReconnect4:
      return {EventUse::kTcpOwned, 4};
    case kTcpSend6: case kTcpReceive6: case kTcpConnect6: case kTcpRetransmit6: case kTcpAccept6:
    case kTcpReconnect6:
      return {EventUse::kTcpOwned, 6};
    case kTcpDisconnect4: return {EventUse::kTcpClosed, 4};
    case kTcpDisconnect6: return {EventUse::kTcpClosed, 6};
    case kUdpSend4: case kUdpReceive4: return {EventUse::kUdpSeen, 4};
    case kUdpSend6: case kUdpReceive6: return {EventUse::kUdpSeen, 6};
    default: return {};
  }
}

uint32_t littleU32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}

uint32_t bigU32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 |
         static_cast<uint32_t>(at[2]) << 8 | at[3];
}

uint16_t bigU16(const uint8_t* at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }

// FNV-1a over the bytes that make a socket's identity here.
struct CookieMix {
  uint64_t h = 0xcbf29ce484222325ull;
  void add(const uint8_t* at, size_t n) {
    for (size_t i = 0; i < n; ++i) h = (h ^ at[i]) * 0x100000001b3ull;
  }
  void add(uint64_t v, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      const uint8_t b = static_cast<uint8_t>(v >> (8 * i));
      add(&b, 1);
    }
  }
};

uint64_t cookieOf(const OwnerEvent& e) {
  CookieMix m;
  m.add(e.protocol, 1);
  m.add(e.family, 1);
  if (e.family == 6) {
    m.add(e.localAddr6.bytes, 16);
    m.add(e.remoteAddr6.bytes, 16);
  } else {
    m.add(e.localAddr, 4);
    m.add(e.remoteAddr, 4);
  }
  m.add(e.localPort, 2);
  m.add(e.remotePort, 2);
  return m.h;
}

uint32_t mappedIpv4(const Ip6Address& a) { return bigU32(a.bytes + 12); }

// Sets the IPv6 ends of `e`, or the IPv4 ones for a socket carrying IPv4.
// False when the ends mix the families.
bool setEnds6(OwnerEvent& e, const Ip6Address& remote, const Ip6Address& local) {
  const bool remoteV4 = remote.v4Mapped(), localV4 = local.v4Mapped();
  const bool remoteAny = remote.unspecified(), localAny = local.unspecified();
  if ((remoteV4 && !(localV4 || localAny)) || (localV4 && !(remoteV4 || remoteAny))) return false;
  if (remoteV4 || localV4) {
    e.family = 4;
    e.remoteAddr = remoteV4 ? mappedIpv4(remote) : 0;
    e.localAddr = localV4 ? mappedIpv4(local) : 0;
  } else {
    e.family = 6;
    e.remoteAddr6 = remote;
    e.localAddr6 = local;
  }
  return true;
}

bool hasPeer(const OwnerEvent& e) {
  if (e.remotePort == 0) return false;
  return e.family == 6 ? !e.remoteAddr6.unspecified() : e.remoteAddr != 0;
}

}  // namespace

size_t decodeKernelNetworkEvent(uint16_t id, const uint8_t* payload, size_t size, OwnerEvent (&out)[2]) {
  const EventKind kind = kindOf(id);
  if (kind.use == EventUse::kNone || payload == nullptr) return 0;
  if (size < (kind.family == 6 ? kKernelNetworkPrefix6 : kKernelNetworkPrefix4)) return 0;

  OwnerEvent e;
  e.protocol = kind.use == EventUse::kUdpSeen ? 17 : 6;
  e.pid = littleU32(payload);
  size_t at = 8;
  if (kind.family == 6) {
    if (!setEnds6(e, Ip6Address::fromBytes(payload + at), Ip6Address::fromBytes(payload + at + 16))) return 0;
    at += 32;
  } else {
    e.family = 4;
    e.remoteAddr = bigU32(payload + at);
    e.localAddr = bigU32(payload + at + 4);
    at += 8;
  }
  e.remotePort = bigU16(payload + at);
  e.localPort = bigU16(payload + at + 2);
  if (e.localPort == 0) return 0;
  if (e.protocol == 6 && !hasPeer(e)) return 0;
  e.cookie = cookieOf(e);

  OwnerEvent closed;
  closed.kind = OwnerEventKind::kClosed;
  closed.cookie = e.cookie;
  switch (kind.use) {
    case EventUse::kTcpOwned:
      out[0] = e;
      return 1;
    case EventUse::kTcpClosed:
      out[0] = closed;
      return 1;
    case EventUse::kUdpSeen:
      out[0] = e;
      out[1] = closed;
      return 2;
    case EventUse::kNone:
      break;
  }
  return 0;
}
