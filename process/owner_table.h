// Socket owners learnt from the kernel's owner events, keyed by protocol and
// both ends of the socket (IPv4 or IPv6), and kept a grace period after the
// socket closes.
// The decoder asks it first for a new flow's owner and falls back to the
// port-to-process tables on a miss. The owner-events thread writes it; the
// capture thread and the owner look-up worker look up; any thread may read
// its size.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "runtime/flow_owner.h"
#include "platform/endpoints.h"

// One socket's ends. A zero local address stands for any local address (a
// socket bound to none); a zero remote address and port for any peer (a
// listener, or a UDP socket before it has sent).
struct OwnerKey {
  uint32_t localAddr = 0;   // host order
  uint32_t remoteAddr = 0;  // host order
  uint16_t localPort = 0;   // host order
  uint16_t remotePort = 0;  // host order
  uint8_t proto = 0;        // 6 or 17

  bool operator==(const OwnerKey& other) const = default;
};

struct OwnerKeyHash {
  size_t operator()(const OwnerKey& k) const noexcept {
    uint64_t h = (static_cast<uint64_t>(k.localAddr) << 32 | k.remoteAddr) * 0x9E3779B97F4A7C15ull;
    h ^= (static_cast<uint64_t>(k.localPort) << 24 | static_cast<uint64_t>(k.remotePort) << 8 | k.proto) +
         (h >> 29);
    return static_cast<size_t>(h * 0xBF58476D1CE4E5B9ull);
  }
};

// The same for an IPv6 socket: :: as local address for any local address,
// :: and port 0 as remote end for any peer.
struct OwnerKey6 {
  Ip6Address localAddr;     // network order
  Ip6Address remoteAddr;    // network order
  uint16_t localPort = 0;   // host order
  uint16_t remotePort = 0;  // host order
  uint8_t proto = 0;        // 6 or 17

  bool operator==(const OwnerKey6& other) const = default;
};

struct OwnerKey6Hash {
  size_t operator()(const OwnerKey6& k) const noexcept {
    uint64_t h = (k.localAddr.high() ^ k.localAddr.low() * 0x9E3779B97F4A7C15ull) * 0xBF58476D1CE4E5B9ull;
    h ^= (k.remoteAddr.high() ^ k.remoteAddr.low() * 0x94D049BB133111EBull) + (h >> 31);
    h ^= (static_cast<uint64_t>(k.localPort) << 24 | static_cast<uint64_t>(k.remotePort) << 8 | k.proto) +
         (h >> 29);
    return static_cast<size_t>(h * 0xBF58476D1CE4E5B9ull);
  }
};

// The keys a packet between `ends` may be recorded under, in the order they
// are tried: the socket of exactly these ends, one bound to any local
// address with this peer, one of this local address for any peer, one of
// any local address for any peer.
std::array<OwnerKey, 4> ownerKeysOf(uint8_t proto, const SocketEnds& ends);
std::array<OwnerKey6, 4> ownerKeysOf(uint8_t proto, const SocketEnds6& ends);

struct OwnedEnds {
  OwnerRef owner;
  uint64_t cookie = 0;  // the socket these ends belong to
  uint64_t stamp = 0;   // order of recording; the oldest go first when the table is full
};

struct SocketLife {
  OwnerRef owner;
  uint64_t closedAt = 0;  // ms since 1970 when the close was reported; 0 while open
  uint64_t stamp = 0;
};

struct OwnerTable {
  std::unordered_map<OwnerKey, OwnedEnds, OwnerKeyHash> ends;
  std::unordered_map<OwnerKey6, OwnedEnds, OwnerKey6Hash> ends6;
  std::unordered_map<uint64_t, SocketLife> sockets;  // by cookie, of both families
  uint64_t stamps = 0;
};

// How long a closed socket's ends still name their owner: the capture hands
// packets over in blocks and may lag behind under load, and a flow's last
// packets (a reply, a FIN) may be decoded well after the close.
inline constexpr uint64_t kOwnerGraceMillis = 10000;
// Most ends of each family (and most sockets) kept; when full, ends of
// closed sockets go first, then the oldest, down to three quarters.
inline constexpr size_t kOwnerTableMax = 65536;

extern std::mutex ownerTableMutex;
extern OwnerTable ownerTable;  // guarded by ownerTableMutex

// True while the owner-events thread feeds ownerTable.
extern std::atomic<bool> ownerEventsRunning;

// A new flow whose owner is wanted: its packet's ends as the local socket
// sees them, and what else makes the flow's key (its DSCP, and whether the
// local end is its source), so that an owner found later can be given to the
// open flow.
struct OwnerQuery {
  SocketEnds ends;
  uint8_t tos = 0;
  bool outbound = false;
};
struct OwnerQuery6 {
  SocketEnds6 ends;
  uint8_t tos = 0;
  bool outbound = false;
};

// The owner of a new flow between `ends` (as the local socket sees them):
// from the events when they name one, else from the port-to-process tables
// (lookupTcpProcess / lookupUdpProcess), which may ask the system and take
// milliseconds: for the owner look-up worker, not the capture thread.
void lookupTcpOwner(uint64_t now, const OwnerQuery& query, OwnerRef& owner);
void lookupUdpOwner(uint64_t now, const OwnerQuery& query, OwnerRef& owner);
// The same for a new IPv6 flow, the fallback being the IPv6 socket tables
// (lookupTcp6Socket / lookupUdp6Socket).
void lookupTcpOwner6(uint64_t now, const OwnerQuery6& query, OwnerRef& owner);
void lookupUdpOwner6(uint64_t now, const OwnerQuery6& query, OwnerRef& owner);

// Any thread, allocation-free and never asking the system: the owner from
// the events, else from the port tables (IPv6: socket tables) as last
// refreshed. False when neither names one.
bool knownTcpOwner(const OwnerQuery& query, OwnerRef& owner);
bool knownUdpOwner(const OwnerQuery& query, OwnerRef& owner);
bool knownTcpOwner6(const OwnerQuery6& query, OwnerRef& owner);
bool knownUdpOwner6(const OwnerQuery6& query, OwnerRef& owner);

// Number of ends in ownerTable, both families (takes the lock).
size_t ownerTableSize();

// The pieces, over any table; the caller holds the table's lock.

// The owner of a packet between `ends`: the first of ownerKeysOf's keys
// recorded. False on a miss. Allocates nothing.
bool findOwner(const OwnerTable& table, uint8_t proto, const SocketEnds& ends, OwnerRef& owner);
bool findOwner(const OwnerTable& table, uint8_t proto, const SocketEnds6& ends, OwnerRef& owner);

// Records that socket `cookie`, owned by `owner`, has ends `key`. Newest
// wins: ends recorded for another socket before are taken over. An owner of
// null takes the one the socket already has (an event from a context that
// could not tell the process); a socket with none records nothing. Ends
// with local port 0 are not recorded (the port is not chosen yet).
void recordOwned(OwnerTable& table, const OwnerKey& key, uint64_t cookie, OwnerRef owner, uint64_t now);
void recordOwned(OwnerTable& table, const OwnerKey6& key, uint64_t cookie, OwnerRef owner, uint64_t now);

// Socket `cookie` closed at `now`; its ends stay kOwnerGraceMillis.
void recordClosed(OwnerTable& table, uint64_t cookie, uint64_t now);

// Close reports were lost: every socket known counts as closed at `now`, so
// the ends of those that did close do not outlive their grace period.
void recordClosesLost(OwnerTable& table, uint64_t now);

// Drops the ends and sockets whose close is kOwnerGraceMillis or more before
// `now`, then trims the table to its bound.
void expireOwners(OwnerTable& table, uint64_t now);
