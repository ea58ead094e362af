// The watched interface's IPv6 addresses, picked out of an adapter list:
// the set that makes an IPv6 packet local, and the one address a capture
// socket binds to where the system needs one. Pure; capture thread and tests.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/adapters.h"

// The IPv6 addresses of the adapter in `list` that holds the listener
// `address` (IPv4, host order), link-local ones included, in the list's
// order. False, `out` unchanged, when the list could not be read or no
// adapter holds the address.
bool listenerAddresses6(const AdapterList& list, uint32_t address, std::vector<AdapterUnicast6>& out);

// The address an IPv6 capture socket binds to: the first global one of
// `addresses`, else the first link-local one; null when there is neither
// (the unspecified and IPv4-mapped forms do not count).
const AdapterUnicast6* captureBindAddress6(const std::vector<AdapterUnicast6>& addresses);
