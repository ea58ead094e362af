// The part of the endpoint tables that is the same on every system.
#include "platform/endpoints.h"

namespace {

enum class Ipv6Kind { kUnspecified, kMapped, kOther };

Ipv6Kind kindOf(const uint8_t a[16]) {
  for (int i = 0; i < 10; ++i) {
    if (a[i] != 0) return Ipv6Kind::kOther;
  }
  if (a[10] == 0xff && a[11] == 0xff) return Ipv6Kind::kMapped;
  if (a[10] != 0 || a[11] != 0) return Ipv6Kind::kOther;
  // ::a.b.c.d (the old IPv4-compatible form) is an IPv6 address like any other.
  return (a[12] | a[13] | a[14] | a[15]) == 0 ? Ipv6Kind::kUnspecified : Ipv6Kind::kOther;
}

uint32_t mappedIpv4(const uint8_t a[16]) {
  return static_cast<uint32_t>(a[12]) << 24 | static_cast<uint32_t>(a[13]) << 16 |
         static_cast<uint32_t>(a[14]) << 8 | a[15];
}

}  // namespace

bool ipv4EndsOfIpv6Socket(const uint8_t local[16], const uint8_t remote[16], bool v6only, uint32_t& localAddr,
                          uint32_t& remoteAddr) {
  const Ipv6Kind near = kindOf(local);
  const Ipv6Kind far = kindOf(remote);
  if (near == Ipv6Kind::kOther || far == Ipv6Kind::kOther) return false;
  if (near == Ipv6Kind::kUnspecified && v6only) return false;
  localAddr = near == Ipv6Kind::kMapped ? mappedIpv4(local) : 0;
  remoteAddr = far == Ipv6Kind::kMapped ? mappedIpv4(remote) : 0;
  return true;
}
