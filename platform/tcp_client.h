// Plain TCP connections: the collector's link to a database server's HTTP
// interface, the monitor's IPFIX stream to a collector, and the collector's
// listening side of that stream. Blocking calls, each bounded by a timeout.
// A failed call describes the system's error in words, once, at this edge.
// One connection or listener is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

// Ends the sending direction only: the peer reads the end of the stream,
// and what it still sends can be read.
void tcpShutdownSend(TcpClient& c);

// True when the peer has ended its stream or the connection failed; looks
// without waiting and without taking any byte.
bool tcpPeerGone(TcpClient& c);

struct TcpListener {
  intptr_t handle = -1;  // the system's socket; -1 when not listening
};

// Listens on IPv4 `address` (host order) and `port` (0: any free port).
bool tcpListen(TcpListener& l, uint32_t address, uint16_t port, std::string& error);
// The port `l` listens on.
bool tcpListenerPort(const TcpListener& l, uint16_t& port, std::string& error);
// Takes one waiting connection, with the peer's IPv4 address (host order;
// 0 for another family) and port. False when none waits or on failure.
bool tcpAccept(TcpListener& l, TcpClient& c, uint32_t& fromAddress, uint16_t& fromPort, std::string& error);
void tcpCloseListener(TcpListener& l);

// Waits up to `timeoutMs` until `l` has a connection waiting or some of
// `peers` have bytes or their end to read; `listenerReady` and `peerReady`
// (one flag per peer) say which. False when the wait itself fails.
bool tcpWaitReadable(const TcpListener& l, const std::vector<TcpClient>& peers, int timeoutMs, bool& listenerReady,
                     std::vector<uint8_t>& peerReady, std::string& error);
