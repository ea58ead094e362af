// UDP over IPv4: the export socket and the collector's listening socket.
// Addresses and ports are host byte order here; the conversion to network
// order happens inside. A failed call describes the system's error in words,
// once, at this edge. Any thread; one socket is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// An open socket: the system's descriptor, -1 when there is none.
struct UdpSocket {
  intptr_t handle = -1;
};

// Creates a UDP socket over IPv4 (protocol 0). False, with the system's
// error text in `error`, when it cannot.
bool udpOpen(UdpSocket& sock, std::string& error);

// Binds to `address`:`port` (0 and 0: any local address, a port the system
// picks).
bool udpBind(const UdpSocket& sock, uint32_t address, uint16_t port, std::string& error);

// Asks for a receive queue of `bytes` (on Linux beyond the system's usual
// cap when the process may, as root may). Returns the queue size the system
// then reports, 0 when it reports none.
size_t udpSetReceiveQueue(const UdpSocket& sock, size_t bytes);

// The local port the socket is bound to.
bool udpLocalPort(const UdpSocket& sock, uint16_t& port, std::string& error);

// Sends one datagram; returns the byte count the system reports, -1 when the
// send failed.
int64_t udpSendTo(const UdpSocket& sock, const uint8_t* data, size_t size, uint32_t address, uint16_t port);

enum class UdpWait { received, timedOut, failed };

// Where a received datagram came from and how long it was.
struct UdpDatagram {
  size_t size = 0;
  uint32_t fromAddress = 0;
  uint16_t fromPort = 0;
};

// Waits up to `timeoutMs` (forever when negative) for one datagram and reads
// it into `buffer`; a datagram longer than `capacity` is cut to it.
UdpWait udpReceive(const UdpSocket& sock, uint8_t* buffer, size_t capacity, int timeoutMs, UdpDatagram& got,
                   std::string& error);

// Closes the socket (nothing when it is not open) and marks it closed.
void udpClose(UdpSocket& sock);

// Dotted IPv4 text to a host-order address, by the system's own conversion.
// False, leaving `address` as it was, when `text` is not such an address.
bool ipv4FromText(const std::string& text, uint32_t& address);
