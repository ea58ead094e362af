// The machine's network adapters and their IPv4 and IPv6 addresses, as the
// operating system lists them. Plain data; interface discovery decides what to do with
// it. Safe to call from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ip6_address.h"

// Result codes of listAdapters (the system's own numbers on Windows).
inline constexpr uint32_t kAdaptersOk = 0;
inline constexpr uint32_t kAdaptersNoData = 232;  // no adapter has an IPv4 address

// One entry of an adapter's unicast address list.
struct AdapterUnicast {
  uint16_t family = 0;  // address family of the entry (2 = IPv4)
  uint32_t ipv4 = 0;    // host byte order; meaningful only for IPv4 entries
};

// One IPv6 unicast address of an adapter.
struct AdapterUnicast6 {
  Ip6Address address;    // network order
  uint32_t scopeId = 0;  // the zone a link-local address belongs to (the interface); 0 otherwise
};

// One adapter. Texts are UTF-8; a value the system does not supply is 0 or "".
struct AdapterInfo {
  uint32_t length = 0;       // size of the system's record for the adapter
  uint32_t ifIndex = 0;      // IPv4 interface index
  std::string adapterName;   // the system's name for the adapter
  std::vector<AdapterUnicast> unicast;  // in the system's order
  std::vector<AdapterUnicast6> unicast6;  // its IPv6 unicast addresses, in the system's order
  uint32_t anycastCount = 0;
  uint32_t multicastCount = 0;
  uint32_t dnsServerCount = 0;
  uint32_t prefixCount = 0;
  std::string dnsSuffix;
  std::string description;
  std::string friendlyName;
  std::vector<uint8_t> physicalAddress;  // empty when there is no hardware address
  uint32_t flags = 0;
  uint32_t mtu = 0;
  uint32_t ifType = 0;
  uint32_t operStatus = 0;   // 1 up, 2 down, 3 testing, 4 unknown, 5 dormant, 6 not present, 7 lower layer down
  uint32_t ipv6IfIndex = 0;
  uint32_t zoneIndices[16] = {};
  uint64_t transmitLinkSpeed = 0;  // bits per second
  uint64_t receiveLinkSpeed = 0;   // bits per second
};

struct AdapterList {
  uint32_t result = kAdaptersOk;  // kAdaptersOk, kAdaptersNoData or the system's error code
  std::string errorText;          // the system's text for `result`, with its line break; may be empty
  bool allocationFailed = false;  // the buffer for the list could not be had
  std::vector<AdapterInfo> adapters;  // filled when result is kAdaptersOk
};

// Lists the adapters that carry IPv4, with their IPv4 unicast addresses and
// their IPv6 ones (none where IPv6 is off or cannot be listed).
AdapterList listAdapters();
