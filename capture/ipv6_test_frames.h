// Crafted IPv6 packets for the decoder's tests: a fixed header with the
// chain and transport bytes the test gives. Test code only.
#pragma once

#include <cstdint>
#include <vector>

#include "flow/ip_text.h"
#include "platform/ip6_address.h"

namespace frames6 {

constexpr uint8_t kHopByHop = 0, kTcp = 6, kUdp = 17, kRouting = 43, kFragment = 44, kEsp = 50, kAh = 51,
                  kIcmp6 = 58, kNoNext = 59, kDestOpts = 60;

inline Ip6Address address(const char* text) {
  Ip6Address a;
  parseIp6(text, a);
  return a;
}
inline const Ip6Address kLocal6 = address("2001:db8::1");
inline const Ip6Address kLinkLocal6 = address("fe80::1");
inline const Ip6Address kPeer6 = address("2001:db8::2");
inline const Ip6Address kOther6 = address("2001:db8:ffff::3");

// Header bytes one after the other.
inline std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A packet under construction, with the two changes tests make to one.
struct Frame {
  std::vector<uint8_t> bytes;
  operator std::vector<uint8_t>() const { return bytes; }  // NOLINT: rows take frames as bytes
  // The first `n` bytes, as a capture cut short would hand them over.
  std::vector<uint8_t> resize(size_t n) const {
    std::vector<uint8_t> cut = bytes;
    cut.resize(n);
    return cut;
  }
  // The same bytes claiming payload length `n`.
  std::vector<uint8_t> payload(uint16_t n) const {
    std::vector<uint8_t> changed = bytes;
    changed[4] = static_cast<uint8_t>(n >> 8), changed[5] = static_cast<uint8_t>(n);
    return changed;
  }
};

// The fixed header (its payload length the real one), then `rest`.
inline Frame packet6(uint8_t next, const std::vector<uint8_t>& rest, uint8_t trafficClass = 0, uint32_t label = 0,
                     const Ip6Address& src = kPeer6, const Ip6Address& dst = kLocal6) {
  Frame f;
  f.bytes = {static_cast<uint8_t>(0x60 | trafficClass >> 4),
             static_cast<uint8_t>((trafficClass & 0x0f) << 4 | (label >> 16 & 0x0f)),
             static_cast<uint8_t>(label >> 8),
             static_cast<uint8_t>(label),
             static_cast<uint8_t>(rest.size() >> 8),
             static_cast<uint8_t>(rest.size()),
             next,
             64};
  f.bytes.insert(f.bytes.end(), src.bytes, src.bytes + 16);
  f.bytes.insert(f.bytes.end(), dst.bytes, dst.bytes + 16);
  f.bytes.insert(f.bytes.end(), rest.begin(), rest.end());
  return f;
}

// Hop-by-hop, routing or destination options: (units + 1) * 8 bytes.
inline std::vector<uint8_t> extension(uint8_t next, uint8_t units) {
  std::vector<uint8_t> h((units + 1u) * 8u, 0);
  h[0] = next;
  h[1] = units;
  if (h.size() >= 4) h[2] = 1, h[3] = static_cast<uint8_t>(h.size() - 4);  // one PadN option filling it
  return h;
}
// AH: (units + 2) * 4 bytes.
inline std::vector<uint8_t> authHeader(uint8_t next, uint8_t units) {
  std::vector<uint8_t> h((units + 2u) * 4u, 0xaa);
  h[0] = next;
  h[1] = units;
  return h;
}
// A fragment header at byte `offset` of the original packet's payload.
inline std::vector<uint8_t> fragmentHeader(uint8_t next, uint16_t offset, bool more) {
  const uint16_t field = static_cast<uint16_t>((offset / 8) << 3 | (more ? 1 : 0));
  return {next, 0, static_cast<uint8_t>(field >> 8), static_cast<uint8_t>(field), 0, 0, 0x12, 0x34};
}

inline std::vector<uint8_t> tcpHeader(uint16_t sport, uint16_t dport, uint8_t flags) {
  std::vector<uint8_t> t(20, 0);
  t[0] = static_cast<uint8_t>(sport >> 8), t[1] = static_cast<uint8_t>(sport);
  t[2] = static_cast<uint8_t>(dport >> 8), t[3] = static_cast<uint8_t>(dport);
  t[12] = 0x50;
  t[13] = flags;
  return t;
}
inline std::vector<uint8_t> udpHeader(uint16_t sport, uint16_t dport) {
  return {static_cast<uint8_t>(sport >> 8), static_cast<uint8_t>(sport), static_cast<uint8_t>(dport >> 8),
          static_cast<uint8_t>(dport), 0, 8, 0, 0};
}
inline std::vector<uint8_t> echo6(uint8_t type = 128) { return {type, 0, 0, 0, 0, 1, 0, 1}; }

}  // namespace frames6
