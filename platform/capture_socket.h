// The capture socket: sees every IPv4 packet (and, once captureIpv6 has
// succeeded, every IPv6 packet) that one local interface sends or receives,
// each starting at its IP header. Used by the capture routine on the capture
// thread; one socket per capture run. Errors are the system's numbers (errno
// on Linux, WSAGetLastError on Windows).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/adapters.h"

struct CaptureSocket {
  intptr_t handle = -1;   // the system's socket; -1 when not open
  intptr_t handle6 = -1;  // Windows: the IPv6 raw socket beside it; -1 when none
  bool turn6 = false;     // Windows: the IPv6 socket is read first when both are ready
  int ifindex = 0;        // interface bound to (Linux)
  bool loopback = false;  // bound to a loopback interface (Linux)
  // Set after captureOpen: DNS messages, TLS handshake records and QUIC long
  // headers come whole while everything else is cut to its headers (Linux;
  // Windows delivers every packet whole).
  bool wholeNamePackets = false;
  // Linux: the receive ring shared with the kernel, read block by block.
  uint8_t* ring = nullptr;
  size_t ringBytes = 0;
  uint32_t blockBytes = 0, blockCount = 0;
  uint32_t block = 0;        // block being read
  uint32_t framesLeft = 0;   // packets of that block not yet read
  uint8_t* nextFrame = nullptr;
  bool blockTaken = false;   // captureReceiveBlock handed out the whole block: return it at the next call
};

enum class ReceiveStatus {
  kPacket,   // a datagram is in the buffer
  kTimeout,  // nothing arrived within the wait
  kSkipped,  // a frame that is not ours to count (e.g. loopback's outgoing copy)
  kFailed,   // the socket failed (e.g. its interface went down or away); `error` says why
};

struct Received {
  ReceiveStatus status = ReceiveStatus::kTimeout;
  size_t length = 0;  // bytes in the buffer; a longer datagram is cut to the buffer
  // The datagram's length as it was on the wire (at least `length`);
  // SIZE_MAX when the system did not say.
  size_t wireLength = 0;
  int error = 0;
  // When the system stamped the packet's arrival (ms since 1970); 0 when it
  // did not, and the caller reads the clock instead.
  uint64_t arrivedMillis = 0;
};

// Longest wait of one captureReceive.
inline constexpr int kCaptureWaitMillis = 250;

// Per-run start-up and clean-up of the system's socket library.
void captureStartup();
void captureCleanup();

// Each step returns false and sets `error` on failure; the caller closes the
// socket after a failed step that follows a successful open.
bool captureOpen(CaptureSocket& s, int& error);
// Socket options: headers included in what is read, IPv4 only, the receive
// wait of kCaptureWaitMillis (and on Linux the receive ring, which hands a
// block of packets over when it is full or `handOverMillis` after its first
// packet; other systems hand over each packet as it comes).
bool captureSetOptions(CaptureSocket& s, uint32_t handOverMillis, int& error);
// Binds to the interface that holds `listenerIP` (dotted decimal); on Linux
// an interface that is down fails with ENETDOWN.
bool captureBind(CaptureSocket& s, const std::string& listenerIP, int& error);
// Receive-all mode: every packet of the interface, not only those for us.
bool captureReceiveAll(CaptureSocket& s, int& error);

// After the steps above: the interface's IPv6 packets as well. Linux widens
// the kernel filter (`bindTo` is not needed and may be null); Windows opens a
// second raw socket bound to `bindTo` (a link-local one with its scope id)
// in receive-all mode, and fails with WSAEADDRNOTAVAIL when it is null. On
// failure the IPv4 socket is untouched and goes on as before.
bool captureIpv6(CaptureSocket& s, const AdapterUnicast6* bindTo, int& error);

// Waits at most kCaptureWaitMillis for one datagram and copies it into
// `buffer` (at most `size` bytes). A socket error ends the wait at once with
// kFailed; the run should end then, since every further wait fails alike.
Received captureReceive(CaptureSocket& s, uint8_t* buffer, size_t size);

// Packets the system dropped for this socket since the previous call (the
// kernel's count restarts at every read), added to `dropped`. False when the
// system keeps no such count or asking failed; `dropped` is then unchanged.
// Not per packet: it is a system call.
bool captureDrops(CaptureSocket& s, uint64_t& dropped);

// One packet as captureReceiveBlock hands it over.
struct ReceivedFrame {
  const uint8_t* data = nullptr;  // from its IPv4 header on
  size_t length = 0;              // bytes at `data`
  size_t wireLength = 0;          // as Received's
  uint64_t arrivedMillis = 0;     // as Received's
};

// Waits as captureReceive does, then hands over up to `max` packets at once
// into `frames`, with the status and error of captureReceive (kPacket with
// `count` frames; kSkipped when none of them was ours). On Linux the frames
// point into the receive ring, the packets of one ring block at a time, and
// stay valid until the next call or the close; elsewhere one packet is
// copied into `buffer` (`size` bytes). A run uses this or captureReceive,
// not both.
Received captureReceiveBlock(CaptureSocket& s, ReceivedFrame* frames, size_t max, size_t& count, uint8_t* buffer,
                             size_t size);

// Closes the socket, and the IPv6 one when open (both handles become -1);
// false with `error` when closing either fails.
bool captureClose(CaptureSocket& s, int& error);
