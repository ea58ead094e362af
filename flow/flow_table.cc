#include "flow/flow_table.h"

#include <algorithm>
#include <atomic>

#include "flow/flow_census.h"
#include "runtime/console.h"

std::mutex flowTableMutex;
FlowCache flowCache;
std::deque<FlowEntry> toExport;
uint64_t lastSweepTime = 0;

namespace {
// flowCache's size, published by each sweep.
std::atomic<size_t> openFlowsAtSweep{0};
// Flows moved early by a full table and not yet reported; capture thread.
size_t earlyMovesUnreported = 0;
uint64_t lastEarlyMoveReport = 0;
}  // namespace

FlowRecord* findFlow(const FlowKey& key) {
  auto it = flowCache.find(key);
  return it == flowCache.end() ? nullptr : &it->second;
}

bool insertFlow(const FlowKey& key, FlowRecord&& record) {
  if (flowCache.size() >= kFlowCacheLimit && flowCache.find(key) == flowCache.end()) {
    earlyMovesUnreported += moveOldestFlows(flowCache.size() / 10);
  }
  return flowCache.try_emplace(key, std::move(record)).second;
}

size_t moveOldestFlows(size_t count) {
  count = std::min(count, flowCache.size());
  if (count == 0) return 0;
  std::vector<std::pair<uint64_t, FlowCache::iterator>> byAge;
  byAge.reserve(flowCache.size());
  for (auto it = flowCache.begin(); it != flowCache.end(); ++it) byAge.emplace_back(it->second.lastseen, it);
  auto older = [](const auto& a, const auto& b) { return a.first < b.first; };
  std::nth_element(byAge.begin(), byAge.begin() + static_cast<ptrdiff_t>(count - 1), byAge.end(), older);
  std::sort(byAge.begin(), byAge.begin() + static_cast<ptrdiff_t>(count), older);
  for (size_t i = 0; i < count; ++i) {
    noteFinishedFlow(byAge[i].second->second);
    toExport.push_back(std::move(byAge[i].second->second));
    flowCache.erase(byAge[i].second);
  }
  return count;
}

size_t moveAllFlows() {
  size_t n = flowCache.size();
  for (auto& entry : flowCache) {
    noteFinishedFlow(entry.second);
    toExport.push_back(std::move(entry.second));
  }
  flowCache.clear();
  return n;
}

void reportEarlyMoves(uint64_t now) {
  if (earlyMovesUnreported == 0 || now - lastEarlyMoveReport < 1000) return;
  consolePrintf("Flow table full: %zu oldest flows moved to export early\n", earlyMovesUnreported);
  earlyMovesUnreported = 0;
  lastEarlyMoveReport = now;
}

void eraseFlow(const FlowKey& key) { flowCache.erase(key); }

bool setFlowOwner(const FlowKey& key, const OwnerRef& owner) {
  std::lock_guard<std::mutex> lock(flowTableMutex);
  FlowRecord* record = findFlow(key);
  if (record == nullptr || record->owner) return false;
  record->owner = owner;
  return true;
}

size_t moveFinishedFlows(uint64_t now) {
  const uint64_t idleLimit = now - 15000;
  const uint64_t ageLimit = now - 60000;
  std::vector<FlowKey> finished;
  for (const auto& [key, record] : flowCache) {
    if (record.lastseen < idleLimit || record.firstseen < ageLimit) {
      finished.push_back(key);
      noteFinishedFlow(record);
      toExport.push_back(record);
    }
  }
  for (const FlowKey& key : finished) flowCache.erase(key);
  return finished.size();
}

bool sweepFlows(uint64_t now) {
  if (earlyMovesUnreported != 0) reportEarlyMoves(now);
  if (now - lastSweepTime <= 1000) return false;
  {
    std::lock_guard<std::mutex> lock(flowTableMutex);
    moveFinishedFlows(now);
    openFlowsAtSweep.store(flowCache.size(), std::memory_order_relaxed);
  }
  lastSweepTime = now;
  return true;
}

size_t takeExports(std::vector<FlowEntry>& out, size_t max) {
  std::lock_guard<std::mutex> lock(flowTableMutex);
  size_t n = std::min(max, toExport.size());
  for (size_t i = 0; i < n; ++i) {
    out.push_back(std::move(toExport.front()));
    toExport.pop_front();
  }
  return n;
}

size_t clearExports() {
  std::lock_guard<std::mutex> lock(flowTableMutex);
  size_t n = toExport.size();
  toExport.clear();
  return n;
}

FlowTotals flowTotals() {
  std::lock_guard<std::mutex> lock(flowTableMutex);
  FlowTotals t;
  t.flows = flowCache.size();
  t.waiting = toExport.size();
  for (const auto& entry : flowCache) {
    t.bytes += static_cast<uint32_t>(entry.second.bytes);
    t.pkts += static_cast<uint32_t>(entry.second.pkts);
  }
  return t;
}

std::vector<FlowEntry> copyFlows() {
  std::vector<FlowEntry> out;
  std::lock_guard<std::mutex> lock(flowTableMutex);
  out.reserve(flowCache.size());
  for (const auto& entry : flowCache) out.push_back(entry.second);
  return out;
}

std::vector<OwnerTotal> flowTotalsByOwner() {
  std::unordered_map<const FlowOwner*, size_t> slots;
  std::vector<OwnerTotal> totals;
  const FlowOwner* lastOwner = nullptr;
  size_t lastSlot = SIZE_MAX;
  std::lock_guard<std::mutex> lock(flowTableMutex);
  for (const auto& [key, r] : flowCache) {
    // Neighbouring records often share an owner: skip the hash lookup then.
    if (r.owner.get() != lastOwner || lastSlot == SIZE_MAX) {
      lastOwner = r.owner.get();
      auto [it, added] = slots.emplace(lastOwner, totals.size());
      if (added) totals.push_back(OwnerTotal{r.owner});
      lastSlot = it->second;
    }
    OwnerTotal& t = totals[lastSlot];
    t.flows += 1;
    t.pkts += static_cast<uint32_t>(r.pkts);
    t.bytes += static_cast<uint32_t>(r.bytes);
  }
  return totals;
}

size_t openFlowsAtLastSweep() { return openFlowsAtSweep.load(std::memory_order_relaxed); }

size_t flowCacheSize() {
  std::lock_guard<std::mutex> lock(flowTableMutex);
  return flowCache.size();
}

size_t toExportSize() {
  std::lock_guard<std::mutex> lock(flowTableMutex);
  return toExport.size();
}

void resetFlowTables() {
  std::lock_guard<std::mutex> lock(flowTableMutex);
  flowCache.clear();
  toExport.clear();
  lastSweepTime = 0;
  openFlowsAtSweep.store(0, std::memory_order_relaxed);
}
