// Stream (TCP) sockets owned by another library (the web server's): the one
// thing the monitor does to connected ones itself, and the address a
// listening one is bound to. Any thread.
#pragma once

#include <cstdint>

// Shuts both directions of the connected socket `handle`, so that its owner's
// next wait or read ends and the owner closes it. The socket stays open: its
// number is not freed by this call. False when the system refuses.
bool streamShutdown(intptr_t handle);

// Sends small writes of the connected socket `handle` at once rather than
// waiting for the peer's acknowledgement of earlier ones (no Nagle delay).
// False when the system refuses.
bool streamNoDelay(intptr_t handle);

// A socket address as a library takes it (a struct sockaddr and its length).
struct SocketAddress {
  alignas(8) unsigned char bytes[128] = {};
  unsigned length = 0;
};

// The address of `address` (4 bytes for IPv4, 16 for IPv6, network order)
// and `port`.
SocketAddress socketAddress(bool ipv6, const uint8_t* address, uint16_t port);
