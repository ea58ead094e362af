// Packet decoding: one received IPv4 datagram becomes flow accounting (find or
// create its record, count it, look up a new flow's owner) followed by the
// sweep check. Capture thread only.
#pragma once

#include <cstddef>
#include <cstdint>

// Decodes the `length` bytes received at `datagram` (starting at the IPv4
// header). `localAddress` is the listener address in host order; `now` the
// packet time in ms since 1970.
void decodePacket(const uint8_t* datagram, size_t length, uint32_t localAddress, uint64_t now);
