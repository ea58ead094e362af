#include "capture/decode6.h"

#include <algorithm>

namespace {

constexpr uint8_t kHopByHop = 0;
constexpr uint8_t kTcp = 6;
constexpr uint8_t kUdp = 17;
constexpr uint8_t kRouting = 43;
constexpr uint8_t kFragment = 44;
constexpr uint8_t kAh = 51;
constexpr uint8_t kIcmp6 = 58;
constexpr uint8_t kDestination = 60;

constexpr size_t kFixedHeader = 40;
constexpr uint8_t kJumboOption = 0xc2;

inline uint16_t getU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t getU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         p[3];
}

// The Jumbo Payload length in the options of the hop-by-hop header at `h`
// (`size` bytes, all received); 0 when it has none.
uint32_t jumboLength(const uint8_t* h, size_t size) {
  for (size_t at = 2; at < size;) {
    if (h[at] == 0) {  // Pad1: a lone byte
      ++at;
      continue;
    }
    if (at + 2 > size || at + 2 + h[at + 1] > size) return 0;
    if (h[at] == kJumboOption && h[at + 1] == 4) return getU32(h + at + 2);
    at += 2 + static_cast<size_t>(h[at + 1]);
  }
  return 0;
}

// Bytes of transport header each protocol needs: TCP up to its flags byte
// (offset 13), UDP its two ports, ICMPv6 its type and code.
size_t transportNeeds(uint8_t proto) { return proto == kTcp ? 14 : proto == kUdp ? 4 : 2; }

}  // namespace

Ipv6Read readIpv6(const uint8_t* d, size_t length, size_t wireLength, Ipv6Fields& out) {
  if (length < kFixedHeader) return Ipv6Read::kMalformed;
  const uint8_t trafficClass = static_cast<uint8_t>((d[0] & 0x0f) << 4 | d[1] >> 4);
  out.dscp = trafficClass >> 2;
  out.flowLabel = (static_cast<uint32_t>(d[1] & 0x0f) << 16) | getU16(d + 2);
  out.src = Ip6Address::fromBytes(d + 8);
  out.dst = Ip6Address::fromBytes(d + 24);
  const uint16_t payloadLength = getU16(d + 4);

  uint8_t next = d[6];
  size_t at = kFixedHeader;
  uint32_t jumbo = 0;
  bool laterFragment = false;
  for (int skipped = 0;; ++skipped) {
    if (next != kHopByHop && next != kRouting && next != kDestination && next != kFragment && next != kAh) break;
    if (skipped == kMaxExtensionHeaders || length - at < 2) return Ipv6Read::kMalformed;
    const size_t size = next == kAh           ? (static_cast<size_t>(d[at + 1]) + 2) * 4
                        : next == kFragment   ? 8
                                              : (static_cast<size_t>(d[at + 1]) + 1) * 8;
    if (length - at < size) return Ipv6Read::kMalformed;
    if (next == kHopByHop && payloadLength == 0) jumbo = jumboLength(d + at, size);
    if (next == kFragment) laterFragment = (getU16(d + at + 2) >> 3) != 0;
    next = d[at];
    at += size;
    if (laterFragment) break;
  }

  // The claim: 40 + payload length, or the jumbogram's (which counts every
  // header after the fixed one); then what the wire bounds it to.
  const bool known = wireLength != SIZE_MAX;
  uint64_t counted = payloadLength != 0 ? kFixedHeader + payloadLength
                     : jumbo != 0      ? kFixedHeader + uint64_t{jumbo}
                     : known           ? wireLength
                                       : length;
  if (known) counted = std::min<uint64_t>(counted, wireLength);
  out.length = static_cast<uint32_t>(std::min<uint64_t>(counted, UINT32_MAX));

  out.proto = next;
  out.srcport = out.dstport = 0;
  out.tcpFlags = 0;
  out.noPorts = laterFragment || (next != kTcp && next != kUdp && next != kIcmp6);
  if (out.noPorts) return Ipv6Read::kRecord;
  if (length - at < transportNeeds(next)) return Ipv6Read::kMalformed;
  const uint8_t* t = d + at;
  out.transportAt = static_cast<uint32_t>(at);
  if (next == kIcmp6) {
    out.srcport = t[0];
    out.dstport = t[1];
  } else {
    out.srcport = getU16(t);
    out.dstport = getU16(t + 2);
    if (next == kTcp) out.tcpFlags = t[13];
  }
  return Ipv6Read::kRecord;
}
