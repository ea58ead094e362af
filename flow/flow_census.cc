#include "flow/flow_census.h"

#include <array>
#include <unordered_map>

namespace {

constexpr uint64_t kWindowMillis = 60000;

// The finished flows by the second of their last packet, per owner object:
// one slot per second of the window and the one before it. Guarded by
// flowTableMutex.
struct FinishedSecond {
  uint64_t second = 0;
  std::unordered_map<const FlowOwner*, OwnerTotal> owners;
};
std::array<FinishedSecond, kWindowMillis / 1000 + 2> finishedSeconds;

void addTo(OwnerTotal& t, const FlowRecord& r) {
  t.flows += 1;
  t.pkts += static_cast<uint32_t>(r.pkts);
  t.bytes += static_cast<uint32_t>(r.bytes);
}

void addTotal(std::unordered_map<const FlowOwner*, OwnerTotal>& to, const OwnerTotal& t) {
  auto [it, added] = to.try_emplace(t.owner.get(), OwnerTotal{t.owner});
  it->second.flows += t.flows;
  it->second.pkts += t.pkts;
  it->second.bytes += t.bytes;
}

}  // namespace

void noteFinishedFlow(const FlowRecord& record) {
  const uint64_t second = record.lastseen / 1000;
  FinishedSecond& slot = finishedSeconds[second % finishedSeconds.size()];
  // A slot holding a later second keeps it: this flow is older than the window.
  if (slot.second > second) return;
  if (slot.second < second) {
    slot.second = second;
    slot.owners.clear();
  }
  auto [it, added] = slot.owners.try_emplace(record.owner.get(), OwnerTotal{record.owner});
  addTo(it->second, record);
}

FlowCensus flowCensus(uint64_t now) {
  const uint64_t since = now >= kWindowMillis ? now - kWindowMillis : 0;
  std::array<uint64_t, 256> byProto[2]{};  // IPv4, IPv6
  std::unordered_map<const FlowOwner*, OwnerTotal> owners;
  FlowCensus census;
  {
    std::lock_guard<std::mutex> lock(flowTableMutex);
    census.waiting = toExport.size();
    const FlowOwner* lastOwner = nullptr;
    OwnerTotal* last = nullptr;
    auto count = [&](const FlowRecord& r) {
      byProto[r.family == 6 ? 1 : 0][r.proto] += 1;
      if (r.lastseen < since) return;
      // Neighbouring records often share an owner: skip the hash lookup then.
      if (last == nullptr || r.owner.get() != lastOwner) {
        lastOwner = r.owner.get();
        last = &owners.try_emplace(lastOwner, OwnerTotal{r.owner}).first->second;
      }
      addTo(*last, r);
    };
    for (const FlowRecord& r : flowCache) count(r);
    for (const FlowEntry& e : flowCache6) count(e);
    for (const FinishedSecond& slot : finishedSeconds) {
      if (slot.second * 1000 < since - since % 1000 || slot.second > now / 1000) continue;
      for (const auto& [owner, total] : slot.owners) addTotal(owners, total);
    }
  }
  for (int f = 0; f < 2; ++f) {
    for (size_t proto = 0; proto < byProto[f].size(); ++proto) {
      if (byProto[f][proto] == 0) continue;
      census.open.push_back(ProtocolCount{static_cast<uint8_t>(f == 0 ? 4 : 6), static_cast<uint8_t>(proto), byProto[f][proto]});
    }
  }
  census.lastMinute.reserve(owners.size());
  for (auto& [owner, total] : owners) census.lastMinute.push_back(std::move(total));
  return census;
}

void resetFinishedFlowNotes() {
  std::lock_guard<std::mutex> lock(flowTableMutex);
  for (FinishedSecond& slot : finishedSeconds) {
    slot.second = 0;
    slot.owners.clear();
  }
}
