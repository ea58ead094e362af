// Socket-owner events from the kernel: which process created a TCP or UDP
// socket of this network namespace, reported with the socket's ends before
// its first packet leaves, and when the socket closes. Plain events out, no
// logic. One source per process: open once, then one thread reads; open and
// close from any thread while no read runs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ip6_address.h"

enum class OwnerEventKind {
  kOwned,       // the socket `cookie` with these ends belongs to `pid`
  kClosed,      // the socket `cookie` has closed; only `cookie` is set
  kClosesLost,  // the system dropped close reports: any socket may have closed
};

struct OwnerEvent {
  OwnerEventKind kind = OwnerEventKind::kOwned;
  uint8_t protocol = 0;      // 6 (TCP) or 17 (UDP)
  uint8_t family = 4;        // 4: the ends are localAddr and remoteAddr; 6: localAddr6 and remoteAddr6
  uint32_t localAddr = 0;    // host order; 0: any local address
  uint16_t localPort = 0;    // host order; never 0 in a kOwned event from the system
  uint32_t remoteAddr = 0;   // host order; 0 with remotePort 0: any peer
  uint16_t remotePort = 0;   // host order
  Ip6Address localAddr6;     // family 6; ::: any local address
  Ip6Address remoteAddr6;    // family 6; :: with remotePort 0: any peer
  uint64_t cookie = 0;       // the system's socket identifier
  uint32_t pid = 0;          // the process that created the socket; 0 when unknown
  uint32_t uid = 0;          // its user id
  char comm[16] = {};        // its command name, zero-terminated
  uint64_t netns = 0;        // the socket's network namespace (ownerEventsNamespace's kind)
  uint64_t cgroup = 0;       // the creator's cgroup v2 id when it made the socket; 0 when unknown
};

struct OwnerEventsOpen {
  int error = 0;       // 0: the source is running; else the system's error number
  std::string reason;  // when error != 0: what failed and why, in words
};

// Loads and attaches the event source for the caller's network namespace.
// Needs root, or CAP_BPF, CAP_NET_ADMIN and CAP_PERFMON. Where the system
// has no such source, or refuses it, returns the error and leaves nothing
// behind.
OwnerEventsOpen openOwnerEvents();

// Waits at most `timeoutMillis` for events and appends those that arrived
// to `out`. Returns 0, or an error number when reading failed.
int readOwnerEvents(std::vector<OwnerEvent>& out, int timeoutMillis);

// The network namespace the source watches, as OwnerEvent::netns gives it.
uint64_t ownerEventsNamespace();

// Visits every cgroup of the v2 hierarchy the source watches, with its id
// (as OwnerEvent::cgroup gives it) and its path from the hierarchy's root
// ("/a/b"), until `visit` returns false. False when the source is not open
// or has no cgroups (Windows). The reading thread, between reads.
bool walkOwnerCgroups(const std::function<bool(uint64_t id, std::string_view path)>& visit);

// Detaches and closes the source (also done by the system when the process
// ends).
void closeOwnerEvents();
