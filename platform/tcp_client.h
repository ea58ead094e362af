// A plain outgoing TCP connection: the collector's link to a database
// server's HTTP interface. Blocking calls, each bounded by a timeout. A
// failed call describes the system's error in words, once, at this edge.
// One connection is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct TcpClient {
  intptr_t handle = -1;  // the system's socket; -1 when not connected
};

// Resolves `host` (a name or an IPv4/IPv6 address) and connects to the first
// address that answers on `port` within `timeoutMs`. False with the reason
// in `error` (a name that does not resolve, a refused or timed-out connection).
bool tcpConnect(TcpClient& c, const std::string& host, uint16_t port, int timeoutMs, std::string& error);

// Sends all of `data`; false when the peer or the timeout ends it first.
bool tcpSendAll(TcpClient& c, const void* data, size_t size, int timeoutMs, std::string& error);

// Reads what is available, waiting at most `timeoutMs` for the first byte.
// Returns the byte count, 0 when the peer closed, -1 on failure or timeout.
int64_t tcpReceive(TcpClient& c, void* buffer, size_t capacity, int timeoutMs, std::string& error);

// Closes the connection (nothing when it is not open).
void tcpClose(TcpClient& c);
