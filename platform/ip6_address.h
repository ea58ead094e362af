// An IPv6 address as 16 bytes in network order, with the few tests the
// layers above make on one. Plain value; any thread.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>

struct Ip6Address {
  uint8_t bytes[16] = {};  // network order

  bool operator==(const Ip6Address& other) const { return std::memcmp(bytes, other.bytes, 16) == 0; }
  std::strong_ordering operator<=>(const Ip6Address& other) const {
    const int c = std::memcmp(bytes, other.bytes, 16);
    return c < 0 ? std::strong_ordering::less : c > 0 ? std::strong_ordering::greater : std::strong_ordering::equal;
  }

  // ::
  bool unspecified() const {
    for (uint8_t b : bytes) {
      if (b != 0) return false;
    }
    return true;
  }
  // fe80::/10
  bool linkLocal() const { return bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80; }
  // ::ffff:a.b.c.d
  bool v4Mapped() const {
    for (int i = 0; i < 10; ++i) {
      if (bytes[i] != 0) return false;
    }
    return bytes[10] == 0xff && bytes[11] == 0xff;
  }

  // The address from 16 bytes in network order.
  static Ip6Address fromBytes(const uint8_t* at) {
    Ip6Address a;
    std::memcpy(a.bytes, at, 16);
    return a;
  }
  // The two halves as host-order numbers, for hashing and mixing.
  uint64_t high() const { return half(0); }
  uint64_t low() const { return half(8); }

 private:
  uint64_t half(int from) const {
    uint64_t h = 0;
    for (int i = from; i < from + 8; ++i) h = h << 8 | bytes[i];
    return h;
  }
};
