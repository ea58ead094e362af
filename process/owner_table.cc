#include "process/owner_table.h"

#include <algorithm>
#include <vector>

#include "process/process_table.h"
#include "process/socket_table6.h"

std::mutex ownerTableMutex;
OwnerTable ownerTable;
std::atomic<bool> ownerEventsRunning{false};

namespace {

bool closedBefore(const SocketLife& life, uint64_t limit) { return life.closedAt != 0 && life.closedAt <= limit; }

// Keeps at most three quarters of kOwnerTableMax entries of `map`, dropping
// the lowest stamps.
template <typename Map>
void trimOldest(Map& map) {
  if (map.size() < kOwnerTableMax) return;
  std::vector<uint64_t> stamps;
  stamps.reserve(map.size());
  for (const auto& e : map) stamps.push_back(e.second.stamp);
  const size_t drop = map.size() - kOwnerTableMax * 3 / 4;
  std::nth_element(stamps.begin(), stamps.begin() + static_cast<std::ptrdiff_t>(drop - 1), stamps.end());
  const uint64_t cut = stamps[drop - 1];
  std::erase_if(map, [cut](const auto& e) { return e.second.stamp <= cut; });
}

}  // namespace

std::array<OwnerKey, 4> ownerKeysOf(uint8_t proto, const SocketEnds& ends) {
  return {OwnerKey{ends.localAddr, ends.remoteAddr, ends.localPort, ends.remotePort, proto},
          OwnerKey{0, ends.remoteAddr, ends.localPort, ends.remotePort, proto},
          OwnerKey{ends.localAddr, 0, ends.localPort, 0, proto}, OwnerKey{0, 0, ends.localPort, 0, proto}};
}

std::array<OwnerKey6, 4> ownerKeysOf(uint8_t proto, const SocketEnds6& ends) {
  const Ip6Address any;
  return {OwnerKey6{ends.localAddr, ends.remoteAddr, ends.localPort, ends.remotePort, proto},
          OwnerKey6{any, ends.remoteAddr, ends.localPort, ends.remotePort, proto},
          OwnerKey6{ends.localAddr, any, ends.localPort, 0, proto}, OwnerKey6{any, any, ends.localPort, 0, proto}};
}

namespace {

template <typename Map, typename Ends>
bool findIn(const Map& map, uint8_t proto, const Ends& ends, OwnerRef& owner) {
  if (map.empty()) return false;
  for (const auto& key : ownerKeysOf(proto, ends)) {
    auto it = map.find(key);
    if (it != map.end()) {
      owner = it->second.owner;
      return true;
    }
  }
  return false;
}

bool tableFull(const OwnerTable& table) {
  return table.ends.size() >= kOwnerTableMax || table.ends6.size() >= kOwnerTableMax ||
         table.sockets.size() >= kOwnerTableMax;
}

template <typename Map, typename Key>
void recordIn(OwnerTable& table, Map& map, const Key& key, uint64_t cookie, OwnerRef owner, uint64_t now) {
  if (key.localPort == 0) return;
  auto life = table.sockets.find(cookie);
  if (!owner) {
    if (life == table.sockets.end()) return;
    owner = life->second.owner;
  }
  if (life == table.sockets.end()) {
    if (table.sockets.size() >= kOwnerTableMax) expireOwners(table, now);
    life = table.sockets.emplace(cookie, SocketLife{}).first;
  }
  life->second.owner = owner;
  life->second.closedAt = 0;  // it is in use, whatever was thought before
  life->second.stamp = ++table.stamps;

  if (map.size() >= kOwnerTableMax && map.count(key) == 0) expireOwners(table, now);
  OwnedEnds& at = map[key];
  at.owner = std::move(owner);
  at.cookie = cookie;
  at.stamp = table.stamps;
}

}  // namespace

bool findOwner(const OwnerTable& table, uint8_t proto, const SocketEnds& ends, OwnerRef& owner) {
  return findIn(table.ends, proto, ends, owner);
}

bool findOwner(const OwnerTable& table, uint8_t proto, const SocketEnds6& ends, OwnerRef& owner) {
  return findIn(table.ends6, proto, ends, owner);
}

void recordOwned(OwnerTable& table, const OwnerKey& key, uint64_t cookie, OwnerRef owner, uint64_t now) {
  recordIn(table, table.ends, key, cookie, std::move(owner), now);
}

void recordOwned(OwnerTable& table, const OwnerKey6& key, uint64_t cookie, OwnerRef owner, uint64_t now) {
  recordIn(table, table.ends6, key, cookie, std::move(owner), now);
}

void recordClosed(OwnerTable& table, uint64_t cookie, uint64_t now) {
  auto life = table.sockets.find(cookie);
  if (life != table.sockets.end()) life->second.closedAt = std::max<uint64_t>(now, 1);
}

void recordClosesLost(OwnerTable& table, uint64_t now) {
  for (auto& e : table.sockets) {
    if (e.second.closedAt == 0) e.second.closedAt = std::max<uint64_t>(now, 1);
  }
}

void expireOwners(OwnerTable& table, uint64_t now) {
  // A full table lets closed sockets go at once, grace or not.
  const bool full = tableFull(table);
  const uint64_t limit = full ? now : now >= kOwnerGraceMillis ? now - kOwnerGraceMillis : 0;
  std::erase_if(table.sockets, [limit](const auto& e) { return closedBefore(e.second, limit); });
  trimOldest(table.sockets);
  // Ends of a socket no longer in the table name nobody any more.
  const auto orphan = [&table](const auto& e) { return table.sockets.count(e.second.cookie) == 0; };
  std::erase_if(table.ends, orphan);
  std::erase_if(table.ends6, orphan);
  trimOldest(table.ends);
  trimOldest(table.ends6);
}

size_t ownerTableSize() {
  std::lock_guard<std::mutex> lock(ownerTableMutex);
  return ownerTable.ends.size() + ownerTable.ends6.size();
}

namespace {

template <typename Ends>
bool eventOwner(uint8_t proto, const Ends& ends, OwnerRef& owner) {
  if (!ownerEventsRunning.load(std::memory_order_relaxed)) return false;
  std::lock_guard<std::mutex> lock(ownerTableMutex);
  return findOwner(ownerTable, proto, ends, owner);
}

}  // namespace

void lookupTcpOwner(uint64_t now, const OwnerQuery& query, OwnerRef& owner) {
  if (!eventOwner(6, query.ends, owner)) lookupTcpProcess(now, query.ends, owner);
}

void lookupUdpOwner(uint64_t now, const OwnerQuery& query, OwnerRef& owner) {
  if (!eventOwner(17, query.ends, owner)) lookupUdpProcess(now, query.ends, owner);
}

void lookupTcpOwner6(uint64_t now, const OwnerQuery6& query, OwnerRef& owner) {
  if (!eventOwner(6, query.ends, owner)) lookupTcp6Socket(now, query.ends, owner);
}

void lookupUdpOwner6(uint64_t now, const OwnerQuery6& query, OwnerRef& owner) {
  if (!eventOwner(17, query.ends, owner)) lookupUdp6Socket(now, query.ends, owner);
}

bool knownTcpOwner(const OwnerQuery& query, OwnerRef& owner) {
  return eventOwner(6, query.ends, owner) || findTcpProcess(query.ends.localPort, owner);
}

bool knownUdpOwner(const OwnerQuery& query, OwnerRef& owner) {
  return eventOwner(17, query.ends, owner) || findUdpProcess(query.ends.localPort, owner);
}

bool knownTcpOwner6(const OwnerQuery6& query, OwnerRef& owner) {
  return eventOwner(6, query.ends, owner) || findTcp6Socket(query.ends, owner);
}

bool knownUdpOwner6(const OwnerQuery6& query, OwnerRef& owner) {
  return eventOwner(17, query.ends, owner) || findUdp6Socket(query.ends, owner);
}
