#include "capture/decode.h"

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <mutex>

#include "capture/decode6.h"
#include "capture/flow_names.h"
#include "capture/names/name_table.h"
#include "capture/owner_lookups.h"
#include "flow/flow_table.h"
#include "process/owner_table.h"
#include "runtime/console.h"
#include "runtime/repeats.h"
#include "runtime/state.h"

OwnerLookup tcpOwnerLookup = quickTcpOwner;
OwnerLookup udpOwnerLookup = quickUdpOwner;
OwnerLookup6 tcpOwnerLookup6 = quickTcpOwner6;
OwnerLookup6 udpOwnerLookup6 = quickUdpOwner6;

namespace {

constexpr uint8_t kIcmp = 1;
constexpr uint8_t kTcp = 6;
constexpr uint8_t kUdp = 17;
constexpr uint8_t kSyn = 0x02;

// Bytes of transport header each protocol needs: TCP up to its flags byte
// (offset 13), UDP its two ports, ICMP its type and code.
constexpr size_t kTcpNeeds = 14;
constexpr size_t kUdpNeeds = 4;
constexpr size_t kIcmpNeeds = 2;

// Bits of IPv4 bytes 6-7 that hold the fragment offset; not 0 in every
// fragment but the first.
constexpr uint16_t kFragmentOffsetMask = 0x1fff;

// The watched interface's IPv6 addresses (setLocalAddresses6).
Ip6Address local6[kMaxLocalAddresses6];
size_t local6Count = 0;

bool isLocal6(const Ip6Address& a) {
  for (size_t i = 0; i < local6Count; ++i) {
    if (local6[i] == a) return true;
  }
  return false;
}

// Big-endian reads; the caller has checked the length.
inline uint16_t getU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t getU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// What one datagram contributes to its flow, all in host order.
struct Packet {
  FlowKey key;
  uint32_t length;  // as counted: never more than came on the wire
  uint8_t tcpFlags; // 0 unless TCP
  bool outbound;
  bool noPorts;     // not TCP, UDP or ICMP with its header (a later fragment, another protocol): ports 0, no owner
  NamePacket names; // kNone unless peerNamesOn and the packet may carry a name
  uint32_t payloadAt, payloadEnd;  // the transport payload's bytes received, when `names`
};

// The same for an IPv6 packet.
struct Packet6 {
  FlowKey6 key;
  uint32_t length;
  uint32_t flowLabel;
  uint8_t tcpFlags;
  bool outbound;
  bool noPorts;     // as Packet's
  NamePacket names; // as Packet's
  uint32_t payloadAt, payloadEnd;
};

// The steps that differ by family, overloaded on the packet.
FlowRecord* find(const FlowKey& key) { return findFlow(key); }
FlowEntry* find(const FlowKey6& key) { return findFlow6(key); }

void insert(const Packet& p, FlowRecord&& record) { insertFlow(p.key, std::move(record)); }
void insert(const Packet6&, FlowEntry&& entry) { insertFlow6(std::move(entry)); }

FlowRecord newRecord(const Packet& p, uint64_t now, OwnerRef owner) {
  const FlowKey& k = p.key;
  return makeFlowRecord(p.outbound ? 0 : 1, p.outbound ? 1 : 0, k.proto, k.srcip, k.dstip, k.srcport, k.dstport,
                        p.length, p.tcpFlags, k.tos, now, std::move(owner));
}
FlowEntry newRecord(const Packet6& p, uint64_t now, OwnerRef owner) {
  const FlowKey6& k = p.key;
  return makeFlowEntry6(p.outbound ? 0 : 1, p.outbound ? 1 : 0, k.proto, k.srcip, k.dstip, k.srcport, k.dstport,
                        p.length, p.tcpFlags, k.tos, p.flowLabel, now, std::move(owner));
}

// The local end is the source of an outbound packet and the destination
// of any other, even one passing between two other hosts.
void lookUpOwner(const Packet& p, uint64_t now, OwnerRef& owner) {
  const FlowKey& k = p.key;
  const SocketEnds ends = p.outbound ? SocketEnds{k.srcip, k.srcport, k.dstip, k.dstport}
                                     : SocketEnds{k.dstip, k.dstport, k.srcip, k.srcport};
  (k.proto == kTcp ? tcpOwnerLookup : udpOwnerLookup)(now, OwnerQuery{ends, k.tos, p.outbound}, owner);
}
void lookUpOwner(const Packet6& p, uint64_t now, OwnerRef& owner) {
  const FlowKey6& k = p.key;
  const SocketEnds6 ends = p.outbound ? SocketEnds6{k.srcip, k.srcport, k.dstip, k.dstport}
                                      : SocketEnds6{k.dstip, k.dstport, k.srcip, k.srcport};
  (k.proto == kTcp ? tcpOwnerLookup6 : udpOwnerLookup6)(now, OwnerQuery6{ends, k.tos, p.outbound}, owner);
}

// Sets p.names and the payload's place for a TCP or UDP packet whose
// transport header (its needed bytes received) is at `transportAt` and whose
// bytes end at `end`.
template <typename P>
void markNames(const uint8_t* d, size_t end, size_t transportAt, P& p) {
  const size_t at = transportAt + (p.key.proto == kTcp ? static_cast<size_t>(d[transportAt + 12] >> 4) * 4 : 8);
  const size_t n = at < end ? end - at : 0;
  p.payloadAt = static_cast<uint32_t>(at);
  p.payloadEnd = static_cast<uint32_t>(at + n);
  p.names = namePacketOf(p.key.proto, p.key.srcport, p.key.dstport, d + at, n);
}

// A flow's address in network order, for the name table.
struct AddressBytes {
  uint8_t bytes[16];
};
AddressBytes bytesOf(uint32_t address) {
  return AddressBytes{{static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
                       static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)}};
}
AddressBytes bytesOf(const Ip6Address& address) {
  AddressBytes a;
  std::copy(address.bytes, address.bytes + 16, a.bytes);
  return a;
}
constexpr uint8_t familyOf(const Packet&) { return 4; }
constexpr uint8_t familyOf(const Packet6&) { return 6; }

bool ownNamed(const PeerName& name) {
  return name.source() == NameSource::kTls || name.source() == NameSource::kQuic;
}

// The name a new record starts with: its reverse record's when that exists
// (the reply direction of a flow), else for a flow this host begins the
// DNS name of the remote address (`dns`). A flow begun by the other end is
// named only by its own server name, later. Caller holds flowTableMutex.
template <typename P, typename R>
void nameNewRecord(const P& p, R& record, PeerName&& dns) {
  if (const auto* reverse = find(p.key.reversed())) {
    record.peer = reverse->peer;
  } else if (p.outbound) {
    record.peer = std::move(dns);
  }
}

// Counts the packet into its record when the key is known. Returns false
// when the flow is new; for a new TCP flow it also stamps the reverse
// record's replydelay when that record has seen SYN, in the same locked step.
template <typename P>
bool countKnownFlow(const P& p, uint64_t now) {
  std::lock_guard<std::mutex> lock(flowTableMutex);
  if (auto* record = find(p.key)) {
    countIntoFlow(*record, now, p.length, p.tcpFlags);
    return true;
  }
  if (p.key.proto == kTcp) {
    auto* reverse = find(p.key.reversed());
    if (reverse != nullptr && (reverse->flags & kSyn) != 0) {
      reverse->replydelay = static_cast<uint16_t>(now - reverse->firstseen);
    }
  }
  return false;
}

// Every packet read: count into a known flow, else look up the owner of the
// local TCP or UDP port (without the lock) and insert a new record.
template <typename P>
void accountFlow(const P& p, uint64_t now) {
  if (countKnownFlow(p, now)) return;
  OwnerRef owner;
  const bool ports = !p.noPorts && (p.key.proto == kTcp || p.key.proto == kUdp);
  if (ports) lookUpOwner(p, now, owner);
  auto record = newRecord(p, now, std::move(owner));
  PeerName dns;
  if (peerNamesOn && ports && p.outbound) dns = dnsPeerName(familyOf(p), bytesOf(p.key.dstip).bytes, now);
  std::lock_guard<std::mutex> lock(flowTableMutex);
  if (peerNamesOn && ports) nameNewRecord(p, record, std::move(dns));
  insert(p, std::move(record));
}

// Whether the packet's flow has its own server name already: its TLS or
// QUIC packets are not read again.
template <typename P>
bool ownNamedAlready(const P& p) {
  std::lock_guard<std::mutex> lock(flowTableMutex);
  const auto* record = find(p.key);
  return record != nullptr && ownNamed(record->peer);
}

// A packet that may carry a name (p.names set; `d` its first byte): a DNS
// message feeds the name table; a server name read from the payload names
// the flow and its reply direction unless one of them was so named before.
// Parsing happens outside the lock; then the packet counts as any other.
// A DNS packet (p.names kDns; `d` its first byte) to the name table. Does
// not touch the flow tables, so the caller need not hold their lock.
template <typename P>
void feedNameTable(const P& p, const uint8_t* d, uint64_t now) {
  const AddressBytes src = bytesOf(p.key.srcip), dst = bytesOf(p.key.dstip);
  nameTableDnsPacket(p.outbound, familyOf(p), src.bytes, dst.bytes, p.key.srcport, p.key.dstport, p.key.proto,
                     d + p.payloadAt, p.payloadEnd - p.payloadAt, now);
}

template <typename P>
void accountNamedFlow(const P& p, const uint8_t* d, uint64_t now) {
  PeerName own;
  if (p.names == NamePacket::kDns) {
    feedNameTable(p, d, now);
  } else if (!ownNamedAlready(p)) {
    own = ownServerName(p.names, d + p.payloadAt, p.payloadEnd - p.payloadAt);
  }
  accountFlow(p, now);
  if (!own) return;
  std::lock_guard<std::mutex> lock(flowTableMutex);
  for (auto* record : {find(p.key), find(p.key.reversed())}) {
    if (record != nullptr && !ownNamed(record->peer)) record->peer = own;
  }
}

// Counts a packet: through accountNamedFlow when it may carry a name.
template <typename P>
void accountPacket(const P& p, const uint8_t* d, uint64_t now) {
  if (p.names != NamePacket::kNone) {
    accountNamedFlow(p, d, now);
  } else {
    accountFlow(p, now);
  }
}

enum class Read { kRecord, kMalformed };

// What a packet that is not read counts for: its length on the wire when
// known (the capture may have cut it to its headers), else the bytes
// received.
uint32_t unreadLength(size_t length, size_t wireLength) {
  const size_t onWire = wireLength == 0 || wireLength == SIZE_MAX ? length : wireLength;
  return static_cast<uint32_t>(std::min<size_t>(onWire, UINT32_MAX));
}

// The bytes an IPv4 datagram counts for: its total length, never more than
// came on the wire. A total length below the header's (0 where the system
// left it to the network card) claims nothing: the wire length counts, or
// the bytes received when that is unknown.
uint32_t countedLength(uint16_t totalLength, size_t headerBytes, size_t length, size_t wireLength) {
  if (totalLength < headerBytes) return unreadLength(length, wireLength);
  const size_t onWire = wireLength == 0 ? length : wireLength;
  return static_cast<uint32_t>(std::min<size_t>(totalLength, onWire));
}

// Reads the IPv4 header fields into `p`.
Read readPacket(const uint8_t* d, size_t length, size_t wireLength, uint32_t localAddress, Packet& p) {
  const size_t headerBytes = static_cast<size_t>(d[0] & 0x0f) * 4;
  if (headerBytes < 20 || length < headerBytes) return Read::kMalformed;
  p.length = countedLength(getU16(d + 2), headerBytes, length, wireLength);
  const uint8_t proto = d[9];
  p.noPorts = (getU16(d + 6) & kFragmentOffsetMask) != 0 || (proto != kTcp && proto != kUdp && proto != kIcmp);
  const size_t needs = p.noPorts ? 0 : proto == kTcp ? kTcpNeeds : proto == kUdp ? kUdpNeeds : kIcmpNeeds;
  if (length - headerBytes < needs) return Read::kMalformed;

  const uint8_t* t = d + headerBytes;
  p.key.srcip = getU32(d + 12);
  p.key.dstip = getU32(d + 16);
  p.key.tos = d[1] >> 2;
  p.key.proto = proto;
  p.outbound = p.key.srcip == localAddress;
  if (p.noPorts) {
    p.key.srcport = 0;
    p.key.dstport = 0;
    p.tcpFlags = 0;
  } else if (proto == kIcmp) {
    p.key.srcport = t[0];
    p.key.dstport = t[1];
    p.tcpFlags = 0;
  } else {
    p.key.srcport = getU16(t);
    p.key.dstport = getU16(t + 2);
    p.tcpFlags = proto == kTcp ? t[13] : 0;
  }
  p.names = NamePacket::kNone;
  // A packet the capture cut to its headers is not read for names: its
  // payload is not whole (a DNS-over-TCP stream would take a hole for bytes).
  const uint16_t totalLength = getU16(d + 2);
  if (peerNamesOn && !p.noPorts && proto != kIcmp && totalLength <= length) {
    markNames(d, totalLength >= headerBytes ? totalLength : length, headerBytes, p);
  }
  return Read::kRecord;
}

// The IPv4 half of decodePacket: the bytes the datagram counts for.
uint32_t decodeIpv4(const uint8_t* d, size_t length, uint32_t localAddress, uint64_t now, size_t wireLength) {
  Packet p;
  const Read read = readPacket(d, length, wireLength, localAddress, p);
  if (read == Read::kMalformed) {
    snifferPacketsMalformed.fetch_add(1, std::memory_order_relaxed);
    return unreadLength(length, wireLength);
  }
  accountPacket(p, d, now);
  return p.length;
}

// Member by member: a whole Packet6 built on the stack and copied would be
// read back in wide loads over narrow stores, which the processor cannot
// forward.
void fillPacket(const Ipv6Fields& f, Packet6& p) {
  p.key.srcip = f.src;
  p.key.dstip = f.dst;
  p.key.srcport = f.srcport;
  p.key.dstport = f.dstport;
  p.key.tos = f.dscp;
  p.key.proto = f.proto;
  p.length = f.length;
  p.flowLabel = f.flowLabel;
  p.tcpFlags = f.tcpFlags;
  p.outbound = isLocal6(f.src);
  p.noPorts = f.noPorts;
  p.names = NamePacket::kNone;
}

// markNames for an IPv6 packet read into `f` and `p`.
void markNames6(const uint8_t* d, size_t length, const Ipv6Fields& f, Packet6& p) {
  if (peerNamesOn && !f.noPorts && (f.proto == kTcp || f.proto == kUdp) && f.length <= length) {
    markNames(d, f.length, f.transportAt, p);
  }
}

uint32_t decodeIpv6(const uint8_t* d, size_t length, uint64_t now, size_t wireLength) {
  Ipv6Fields f;
  const Ipv6Read read = readIpv6(d, length, wireLength == 0 ? length : wireLength, f);
  if (read == Ipv6Read::kMalformed) {
    snifferPacketsMalformed.fetch_add(1, std::memory_order_relaxed);
    return unreadLength(length, wireLength);
  }
  Packet6 p;
  fillPacket(f, p);
  markNames6(d, length, f, p);
  accountPacket(p, d, now);
  return f.length;
}

// The version message, at most once a second for each version number, so
// that a stream of such frames cannot flood the console and one version
// cannot hide another. Capture thread only.
constexpr uint64_t kVersionLineMillis = 1000;
RepeatGate versionRepeats[16];

void reportVersion(int version, uint64_t now) {
  const RepeatVerdict v = passGate(versionRepeats[version], "", now, kVersionLineMillis);
  if (!v.show) return;
  if (v.leftOut == 0) {
    consolePrintf("Packet  unsupported version %i  ", version);
  } else {
    consolePrintf("Packet  unsupported version %i  (%" PRIu64 " like it left out)  ", version, v.leftOut);
  }
}

}  // namespace

void resetVersionLines() {
  for (RepeatGate& gate : versionRepeats) resetGate(gate);
}

void setLocalAddresses6(const Ip6Address* addresses, size_t count) {
  local6Count = std::min(count, kMaxLocalAddresses6);
  std::copy(addresses, addresses + local6Count, local6);
}

namespace {

// decodePacket without its sweep check: false (and no check due) for a
// packet of a version not read.
bool decodeOne(const uint8_t* datagram, size_t length, uint32_t localAddress, uint64_t now, size_t wireLength,
               uint32_t& counted) {
  counted = unreadLength(length, wireLength);
  if (length == 0) {
    snifferPacketsMalformed.fetch_add(1, std::memory_order_relaxed);
  } else if (const int version = datagram[0] >> 4; version == 4) {
    counted = decodeIpv4(datagram, length, localAddress, now, wireLength);
  } else if (version == 6) {
    counted = decodeIpv6(datagram, length, now, wireLength);
  } else {
    reportVersion(version, now);
    return false;
  }
  return true;
}

// Whether a packet so marked is counted the pipelined way: a server name
// may rename its flow, so a TLS or QUIC packet is not.
constexpr bool quickNames(NamePacket names) { return names == NamePacket::kNone || names == NamePacket::kDns; }

// A place for an IPv6 packet of a batch, left unset until a packet is read
// into it: an array of Packet6 would be zeroed whole for every batch, IPv4
// ones too.
union Packet6Place {
  Packet6 packet;
  Packet6Place() {}  // NOLINT: no member set on purpose
};

// The pipeline of decodePackets: a packet is read, and its first index slot
// asked for, kAhead packets before the slot's record is asked for, and that
// kAhead packets before it is counted, so both fetches have time to arrive.
// The pipeline runs through a whole hand-over; a line of kLine places holds
// the packets between reading and counting.
constexpr size_t kAhead = 16;
constexpr size_t kLine = 64;  // a power of two above 2 * kAhead
static_assert((kLine & (kLine - 1)) == 0 && kLine > 2 * kAhead);
// Packets counted between two releases of the flow tables' lock, so that
// other threads get their turn during a long hand-over.
constexpr size_t kStepsPerLock = 64;

}  // namespace

uint32_t decodePacket(const uint8_t* datagram, size_t length, uint32_t localAddress, uint64_t now,
                      size_t wireLength) {
  uint32_t counted = 0;
  if (decodeOne(datagram, length, localAddress, now, wireLength, counted)) sweepFlows(now);
  return counted;
}

void decodePackets(const CapturedPacket* packets, size_t count, uint32_t localAddress, uint32_t* counted) {
  // A packet read whole goes the quick way (`quick`: 4 or 6, its family),
  // a DNS message too, which feeds the name table before it is counted; a
  // malformed one, one of another version or one that may carry a server
  // name of its flow goes through decodeOne in its turn.
  Packet p[kLine];
  Packet6Place places6[kLine];
  uint32_t hash[kLine];
  uint8_t quick[kLine];
  const auto p6 = [&places6](size_t i) -> Packet6& { return places6[i].packet; };
  bool sweepDue = false;
  std::unique_lock<std::mutex> lock(flowTableMutex);
  for (size_t step = 0; step < count + 2 * kAhead; ++step) {
    if (step < count) {
      const CapturedPacket& c = packets[step];
      const size_t at = step % kLine;
      const unsigned version = c.length == 0 ? 0 : c.data[0] >> 4;
      quick[at] = 0;
      if (version == 4) {
        if (readPacket(c.data, c.length, c.wireLength, localAddress, p[at]) == Read::kRecord &&
            quickNames(p[at].names)) {
          quick[at] = 4;
          hash[at] = flowHash(p[at].key);
          prefetchFlowSlot(hash[at]);
        }
      } else if (version == 6) {
        Ipv6Fields f;
        if (readIpv6(c.data, c.length, c.wireLength == 0 ? c.length : c.wireLength, f) == Ipv6Read::kRecord) {
          fillPacket(f, p6(at));
          markNames6(c.data, c.length, f, p6(at));
          if (quickNames(p6(at).names)) {
            quick[at] = 6;
            hash[at] = flowHash6(p6(at).key);
            prefetchFlowSlot6(hash[at]);
          }
        }
      }
    }
    if (step >= kAhead && step - kAhead < count) {
      const size_t at = (step - kAhead) % kLine;
      if (quick[at] == 4) prefetchFlowRecord(hash[at]);
      if (quick[at] == 6) prefetchFlowRecord6(hash[at]);
    }
    if (step < 2 * kAhead) continue;
    const size_t n = step - 2 * kAhead;
    const size_t i = n % kLine;
    const CapturedPacket& c = packets[n];
    if (n % kStepsPerLock == kStepsPerLock - 1) {
      lock.unlock();
      lock.lock();
    }
    if (quick[i] == 4 && p[i].names == NamePacket::kDns) {
      lock.unlock();
      feedNameTable(p[i], c.data, c.now);
      lock.lock();
    } else if (quick[i] == 6 && p6(i).names == NamePacket::kDns) {
      lock.unlock();
      feedNameTable(p6(i), c.data, c.now);
      lock.lock();
    }
    if (quick[i] == 4) {
      counted[n] = p[i].length;
      if (FlowRecord* record = findFlow(p[i].key, hash[i])) {
        countIntoFlow(*record, c.now, p[i].length, p[i].tcpFlags);
        sweepDue = true;
        continue;
      }
    } else if (quick[i] == 6) {
      counted[n] = p6(i).length;
      if (FlowEntry* entry = findFlow6(p6(i).key, hash[i])) {
        countIntoFlow(*entry, c.now, p6(i).length, p6(i).tcpFlags);
        sweepDue = true;
        continue;
      }
    }
    lock.unlock();
    if (quick[i] == 4) {
      accountFlow(p[i], c.now);
      sweepDue = true;
    } else if (quick[i] == 6) {
      accountFlow(p6(i), c.now);
      sweepDue = true;
    } else if (decodeOne(c.data, c.length, localAddress, c.now, c.wireLength, counted[n])) {
      sweepDue = true;
    }
    lock.lock();
  }
  lock.unlock();
  if (sweepDue) sweepFlows(packets[count - 1].now);
}
