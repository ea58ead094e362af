#include "flow/flow_table.h"

#include <algorithm>
#include <atomic>
#include <string_view>
#include <unordered_map>

#include "flow/flow_census.h"
#include "runtime/console.h"

std::mutex flowTableMutex;
FlowCache flowCache;
FlowCache6 flowCache6;
std::deque<FlowEntry> toExport;
uint64_t lastSweepTime = 0;

namespace {
// Who sees the records taken from toExport; see setFinishedFlowTap.
std::atomic<FinishedFlowTap> finishedFlowTap{nullptr};
// The open flows' count, published by each sweep.
std::atomic<size_t> openFlowsAtSweep{0};
// Flows moved early by a full table and not yet reported; capture thread.
size_t earlyMovesUnreported = 0;
uint64_t lastEarlyMoveReport = 0;

// The names of flows the sweep moved by the age rule while they were still
// going, for the record that carries each on (insertFlow). Guarded by
// flowTableMutex; at most kMaxSuccessors each, an entry dropped when it is
// taken or by the first sweep a full idle time after it was left.
constexpr size_t kMaxSuccessors = 65536;
struct Successor {
  PeerName peer;
  uint64_t movedAt = 0;
};
struct FlowKey6Hash {
  size_t operator()(const FlowKey6& k) const noexcept { return FlowCache6::hashOf(k); }
};
std::unordered_map<FlowKey, Successor, FlowKeyHash> successors;
std::unordered_map<FlowKey6, Successor, FlowKey6Hash> successors6;

template <typename Map, typename Key>
void leaveSuccessor(Map& map, const Key& key, const PeerName& peer, uint64_t now) {
  if (peer && map.size() < kMaxSuccessors) map[key] = Successor{peer, now};
}

// Gives a new record the name its predecessor under the same key had.
template <typename Map, typename Key>
void takeSuccessor(Map& map, const Key& key, PeerName& peer) {
  if (map.empty()) return;
  auto it = map.find(key);
  if (it == map.end()) return;
  peer = std::move(it->second.peer);
  map.erase(it);
}

FlowKey successorKey(const FlowRecord& r) { return keyOf(r); }
FlowKey6 successorKey(const FlowEntry& e) { return keyOf6(e); }

template <typename Map>
void dropOldSuccessors(Map& map, uint64_t idleLimit) {
  std::erase_if(map, [idleLimit](const auto& item) { return item.second.movedAt < idleLimit; });
}

size_t openFlows() { return flowCache.size() + flowCache6.size(); }

// Makes room for one new flow under the cap. The caller holds the lock.
void makeRoomForOne() { earlyMovesUnreported += moveOldestFlows(openFlows() / 10); }

// The sweep's walk over one table: finished records move to toExport.
template <typename Map, typename Successors>
size_t moveFinishedIn(Map& map, Successors& named, uint64_t now, uint64_t idleLimit, uint64_t ageLimit) {
  size_t moved = 0;
  for (auto it = map.begin(); it != map.end();) {
    if (it->lastseen < idleLimit || it->firstseen < ageLimit) {
      if (it->lastseen >= idleLimit) leaveSuccessor(named, successorKey(*it), it->peer, now);
      noteFinishedFlow(*it);
      toExport.push_back(std::move(*it));
      it = map.erase(it);
      ++moved;
    } else {
      ++it;
    }
  }
  return moved;
}

// Ends the record `r` holds (a copy to toExport, as a sweep would) and
// begins it again with one packet.
template <typename Record>
void renewOpenFlow(Record& r, uint64_t now, uint32_t length, uint8_t tcpFlags) {
  noteFinishedFlow(r);
  toExport.push_back(r);
  r.pkts = 1;
  r.bytes = length;
  r.firstseen = now;
  r.lastseen = now;
  r.replydelay = 0;
  r.flags = r.proto == 6 ? tcpFlags : 0;
}

// Calls `visit` with every open record, IPv4 first.
template <typename Visit>
void forEachOpenFlow(Visit&& visit) {
  for (const FlowRecord& r : flowCache) visit(r);
  for (const FlowEntry& e : flowCache6) visit(e);
}
}  // namespace

FlowRecord* findFlow(const FlowKey& key) {
  auto it = flowCache.find(key);
  return it == flowCache.end() ? nullptr : &*it;
}

FlowEntry* findFlow6(const FlowKey6& key) {
  auto it = flowCache6.find(key);
  return it == flowCache6.end() ? nullptr : &*it;
}

void renewFlow(FlowRecord& r, uint64_t now, uint32_t length, uint8_t tcpFlags) {
  renewOpenFlow(r, now, length, tcpFlags);
}
void renewFlow(FlowEntry& e, uint64_t now, uint32_t length, uint8_t tcpFlags) {
  renewOpenFlow(e, now, length, tcpFlags);
}

bool insertFlow(const FlowKey& key, FlowRecord&& record) {
  if (record.family != 4 || !(keyOf(record) == key)) return false;
  if (openFlows() >= kFlowCacheLimit && !flowCache.contains(key)) makeRoomForOne();
  takeSuccessor(successors, key, record.peer);
  return flowCache.insert(std::move(record)).second;
}

bool insertFlow6(FlowEntry&& entry) {
  if (!entry.ipv6()) return false;
  if (openFlows() >= kFlowCacheLimit && !flowCache6.contains(keyOf6(entry))) makeRoomForOne();
  takeSuccessor(successors6, keyOf6(entry), entry.peer);
  return flowCache6.insert(std::move(entry)).second;
}

bool insertFlowEntry(FlowEntry&& entry) {
  if (entry.ipv6()) return insertFlow6(std::move(entry));
  const FlowKey key = keyOf(entry);
  return insertFlow(key, std::move(entry));
}

size_t moveOldestFlows(size_t count) {
  count = std::min(count, openFlows());
  if (count == 0) return 0;
  struct Aged {
    uint64_t lastseen;
    FlowEntry* entry;    // an IPv6 record, or null
    FlowRecord* record;  // an IPv4 record, or null
  };
  std::vector<Aged> byAge;
  byAge.reserve(openFlows());
  for (FlowRecord& r : flowCache) byAge.push_back(Aged{r.lastseen, nullptr, &r});
  for (FlowEntry& e : flowCache6) byAge.push_back(Aged{e.lastseen, &e, nullptr});
  auto older = [](const Aged& a, const Aged& b) { return a.lastseen < b.lastseen; };
  std::nth_element(byAge.begin(), byAge.begin() + static_cast<ptrdiff_t>(count - 1), byAge.end(), older);
  std::sort(byAge.begin(), byAge.begin() + static_cast<ptrdiff_t>(count), older);
  // Records never move in their tables, so every pointer stays good while
  // the others are erased.
  for (size_t i = 0; i < count; ++i) {
    if (byAge[i].record != nullptr) {
      const FlowKey key = keyOf(*byAge[i].record);
      noteFinishedFlow(*byAge[i].record);
      toExport.push_back(std::move(*byAge[i].record));
      flowCache.erase(key);
    } else {
      const FlowKey6 key = keyOf6(*byAge[i].entry);
      noteFinishedFlow(*byAge[i].entry);
      toExport.push_back(std::move(*byAge[i].entry));
      flowCache6.erase(key);
    }
  }
  return count;
}

size_t moveAllFlows() {
  const size_t n = openFlows();
  for (FlowRecord& r : flowCache) {
    noteFinishedFlow(r);
    toExport.push_back(std::move(r));
  }
  for (FlowEntry& e : flowCache6) {
    noteFinishedFlow(e);
    toExport.push_back(std::move(e));
  }
  flowCache.clear();
  flowCache6.clear();
  return n;
}

void reportEarlyMoves(uint64_t now) {
  if (earlyMovesUnreported == 0 || now - lastEarlyMoveReport < 1000) return;
  consolePrintf("Flow table full: %zu oldest flows moved to export early\n", earlyMovesUnreported);
  earlyMovesUnreported = 0;
  lastEarlyMoveReport = now;
}

void eraseFlow(const FlowKey& key) { flowCache.erase(key); }
void eraseFlow6(const FlowKey6& key) { flowCache6.erase(key); }

bool setFlowOwner(const FlowKey& key, const OwnerRef& owner) {
  std::lock_guard<std::mutex> lock(flowTableMutex);
  FlowRecord* record = findFlow(key);
  if (record == nullptr || record->owner) return false;
  record->owner = owner;
  return true;
}

bool setFlowOwner6(const FlowKey6& key, const OwnerRef& owner) {
  std::lock_guard<std::mutex> lock(flowTableMutex);
  FlowEntry* entry = findFlow6(key);
  if (entry == nullptr || entry->owner) return false;
  entry->owner = owner;
  return true;
}

size_t moveFinishedFlows(uint64_t now) {
  const uint64_t idleLimit = now - 15000;
  const uint64_t ageLimit = now - 60000;
  dropOldSuccessors(successors, idleLimit);
  dropOldSuccessors(successors6, idleLimit);
  const size_t moved = moveFinishedIn(flowCache, successors, now, idleLimit, ageLimit);
  return moved + moveFinishedIn(flowCache6, successors6, now, idleLimit, ageLimit);
}

bool sweepFlows(uint64_t now) {
  if (earlyMovesUnreported != 0) reportEarlyMoves(now);
  if (now - lastSweepTime <= 1000) return false;
  {
    std::lock_guard<std::mutex> lock(flowTableMutex);
    moveFinishedFlows(now);
    openFlowsAtSweep.store(openFlows(), std::memory_order_relaxed);
  }
  lastSweepTime = now;
  return true;
}

size_t takeExports(std::vector<FlowEntry>& out, size_t max) {
  const size_t before = out.size();
  size_t n;
  {
    std::lock_guard<std::mutex> lock(flowTableMutex);
    n = std::min(max, toExport.size());
    for (size_t i = 0; i < n; ++i) {
      out.push_back(std::move(toExport.front()));
      toExport.pop_front();
    }
  }
  if (FinishedFlowTap tap = finishedFlowTap.load(); tap != nullptr && n != 0) tap(out.data() + before, n);
  return n;
}

size_t clearExports() {
  std::deque<FlowEntry> dropped;
  {
    std::lock_guard<std::mutex> lock(flowTableMutex);
    dropped.swap(toExport);
  }
  if (FinishedFlowTap tap = finishedFlowTap.load(); tap != nullptr && !dropped.empty()) {
    const std::vector<FlowEntry> records(dropped.begin(), dropped.end());
    tap(records.data(), records.size());
  }
  return dropped.size();
}

void setFinishedFlowTap(FinishedFlowTap tap) { finishedFlowTap.store(tap); }

std::vector<FlowEntry> copyExports() {
  std::lock_guard<std::mutex> lock(flowTableMutex);
  return std::vector<FlowEntry>(toExport.begin(), toExport.end());
}

size_t trimExports(size_t keep) {
  std::vector<FlowEntry> dropped;
  {
    std::lock_guard<std::mutex> lock(flowTableMutex);
    const size_t n = toExport.size() > keep ? toExport.size() - keep : 0;
    if (n != 0 && finishedFlowTap.load() != nullptr) {
      dropped.assign(std::make_move_iterator(toExport.begin()),
                     std::make_move_iterator(toExport.begin() + static_cast<ptrdiff_t>(n)));
    }
    toExport.erase(toExport.begin(), toExport.begin() + static_cast<ptrdiff_t>(n));
    if (dropped.empty()) return n;
  }
  if (FinishedFlowTap tap = finishedFlowTap.load(); tap != nullptr) tap(dropped.data(), dropped.size());
  return dropped.size();
}

FlowTotals flowTotals() {
  std::lock_guard<std::mutex> lock(flowTableMutex);
  FlowTotals t;
  t.flows = openFlows();
  t.waiting = toExport.size();
  forEachOpenFlow([&t](const FlowRecord& r) {
    t.bytes += r.bytes;
    t.pkts += r.pkts;
  });
  return t;
}

std::vector<FlowEntry> copyFlows() {
  std::vector<FlowEntry> out;
  std::lock_guard<std::mutex> lock(flowTableMutex);
  out.reserve(openFlows());
  for (const FlowRecord& r : flowCache) out.emplace_back(r);
  for (const FlowEntry& e : flowCache6) out.push_back(e);
  return out;
}

std::vector<OwnerTotal> flowTotalsByOwner() {
  std::unordered_map<const FlowOwner*, size_t> slots;
  std::vector<OwnerTotal> totals;
  const FlowOwner* lastOwner = nullptr;
  size_t lastSlot = SIZE_MAX;
  std::lock_guard<std::mutex> lock(flowTableMutex);
  forEachOpenFlow([&](const FlowRecord& r) {
    // Neighbouring records often share an owner: skip the hash lookup then.
    if (r.owner.get() != lastOwner || lastSlot == SIZE_MAX) {
      lastOwner = r.owner.get();
      auto [it, added] = slots.emplace(lastOwner, totals.size());
      if (added) totals.push_back(OwnerTotal{r.owner});
      lastSlot = it->second;
    }
    OwnerTotal& t = totals[lastSlot];
    t.flows += 1;
    t.pkts += r.pkts;
    t.bytes += r.bytes;
  });
  return totals;
}

std::vector<PeerTotal> flowTotalsByPeer() {
  std::unordered_map<std::string_view, size_t> slots;  // views of the pool's texts, held by `totals`
  std::vector<PeerTotal> totals;
  std::lock_guard<std::mutex> lock(flowTableMutex);
  forEachOpenFlow([&](const FlowRecord& r) {
    if (!r.peer) return;
    auto [it, added] = slots.emplace(r.peer.text(), totals.size());
    if (added) totals.push_back(PeerTotal{r.peer});
    PeerTotal& t = totals[it->second];
    t.flows += 1;
    t.pkts += static_cast<uint32_t>(r.pkts);
    t.bytes += static_cast<uint32_t>(r.bytes);
  });
  return totals;
}

size_t openFlowsAtLastSweep() { return openFlowsAtSweep.load(std::memory_order_relaxed); }

size_t flowCacheSize() {
  std::lock_guard<std::mutex> lock(flowTableMutex);
  return openFlows();
}

size_t toExportSize() {
  std::lock_guard<std::mutex> lock(flowTableMutex);
  return toExport.size();
}

void resetFlowTables() {
  std::lock_guard<std::mutex> lock(flowTableMutex);
  flowCache.clear();
  flowCache6.clear();
  toExport.clear();
  successors.clear();
  successors6.clear();
  lastSweepTime = 0;
  openFlowsAtSweep.store(0, std::memory_order_relaxed);
}
