#include "capture/decode.h"

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <mutex>

#include "flow/flow_table.h"
#include "process/owner_table.h"
#include "runtime/console.h"
#include "runtime/repeats.h"

OwnerLookup tcpOwnerLookup = lookupTcpOwner;
OwnerLookup udpOwnerLookup = lookupUdpOwner;
OwnerLookup6 tcpOwnerLookup6 = lookupTcpOwner6;
OwnerLookup6 udpOwnerLookup6 = lookupUdpOwner6;

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

// Big-endian reads; the caller has checked the length.
inline uint16_t getU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t getU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// What one datagram contributes to its flow, all in host order.
struct Packet {
  FlowKey key;
  uint16_t totalLength;  // as counted: never more than came on the wire
  uint8_t tcpFlags;      // 0 unless TCP
  bool outbound;
  bool laterFragment;    // no transport header: ports 0, no owner
};

// Counts the packet into its record when the key is known. Returns false
// when the flow is new; for a new TCP flow it also stamps the reverse
// record's replydelay when that record has seen SYN, in the same locked step.
bool countKnownFlow(const Packet& p, uint64_t now) {
  std::lock_guard<std::mutex> lock(flowTableMutex);
  if (FlowRecord* record = findFlow(p.key)) {
    countPacket(*record, now, p.totalLength, p.tcpFlags);
    return true;
  }
  if (p.key.proto == kTcp) {
    FlowRecord* reverse = findFlow(p.key.reversed());
    if (reverse != nullptr && (reverse->flags & kSyn) != 0) {
      reverse->replydelay = static_cast<uint16_t>(now - reverse->firstseen);
    }
  }
  return false;
}

// The record of a new flow, as its first packet makes it.
FlowRecord newRecord(const Packet& p, uint64_t now, OwnerRef owner) {
  const FlowKey& k = p.key;
  return makeFlowRecord(p.outbound ? 0 : 1, p.outbound ? 1 : 0, k.proto, k.srcip, k.dstip, k.srcport,
                        k.dstport, p.totalLength, p.tcpFlags, k.tos, now, std::move(owner));
}

// TCP and UDP: count into a known flow, else look up the owner of the local
// port (without the lock) and insert a new record.
void accountPortFlow(const Packet& p, uint64_t now) {
  if (countKnownFlow(p, now)) return;
  // The local end is the source of an outbound packet and the destination
  // of any other, even one passing between two other hosts.
  const FlowKey& k = p.key;
  const SocketEnds ends = p.outbound ? SocketEnds{k.srcip, k.srcport, k.dstip, k.dstport}
                                     : SocketEnds{k.dstip, k.dstport, k.srcip, k.srcport};
  OwnerRef owner;
  if (!p.laterFragment) {
    (k.proto == kTcp ? tcpOwnerLookup : udpOwnerLookup)(now, OwnerQuery{ends, k.tos, p.outbound}, owner);
  }
  FlowRecord record = newRecord(p, now, std::move(owner));
  std::lock_guard<std::mutex> lock(flowTableMutex);
  insertFlow(p.key, std::move(record));
}

// ICMP: a record is made for a new key and never counted into afterwards.
void accountIcmpFlow(const Packet& p, uint64_t now) {
  std::lock_guard<std::mutex> lock(flowTableMutex);
  if (findFlow(p.key) == nullptr) insertFlow(p.key, newRecord(p, now, nullptr));
}

// Reads the header fields into `p`. False when the datagram is too short for
// them or its protocol makes no record.
bool readPacket(const uint8_t* d, size_t length, size_t wireLength, uint32_t localAddress, Packet& p) {
  const size_t headerBytes = static_cast<size_t>(d[0] & 0x0f) * 4;
  if (headerBytes < 20 || length < headerBytes) return false;
  const uint8_t proto = d[9];
  if (proto != kTcp && proto != kUdp && proto != kIcmp) return false;
  p.laterFragment = (getU16(d + 6) & kFragmentOffsetMask) != 0;
  if (p.laterFragment && proto == kIcmp) return false;
  const size_t needs = p.laterFragment ? 0 : proto == kTcp ? kTcpNeeds : proto == kUdp ? kUdpNeeds : kIcmpNeeds;
  if (length - headerBytes < needs) return false;

  const uint8_t* t = d + headerBytes;
  p.key.srcip = getU32(d + 12);
  p.key.dstip = getU32(d + 16);
  p.key.tos = d[1] >> 2;
  p.key.proto = proto;
  // A header may claim more than came: count what did.
  const size_t onWire = wireLength == 0 ? length : wireLength;
  p.totalLength = static_cast<uint16_t>(std::min<size_t>(getU16(d + 2), onWire));
  p.outbound = p.key.srcip == localAddress;
  if (p.laterFragment) {
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
  return true;
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

void decodePacket(const uint8_t* datagram, size_t length, uint32_t localAddress, uint64_t now, size_t wireLength) {
  if (length > 0 && (datagram[0] >> 4) != 4) {
    reportVersion(datagram[0] >> 4, now);
    return;
  }
  Packet p;
  if (length > 0 && readPacket(datagram, length, wireLength, localAddress, p)) {
    if (p.key.proto == kIcmp) {
      accountIcmpFlow(p, now);
    } else {
      accountPortFlow(p, now);
    }
  }
  sweepFlows(now);
}
