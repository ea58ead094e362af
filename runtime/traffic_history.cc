#include "runtime/traffic_history.h"

#include <algorithm>
#include <atomic>

namespace {

// One second of traffic. The writer empties a slot and then stamps it with
// its second; a reader trusts the counts only when it finds the same stamp
// before and after reading them.
struct Slot {
  std::atomic<uint64_t> second{0};  // 0: being reset, or never used
  std::atomic<uint32_t> pkts{0};
  std::atomic<uint64_t> bytes{0};
  std::atomic<uint64_t> flows{0};
};

// The finished seconds and the one being counted, with room to spare.
constexpr size_t kRingSlots = kHistorySeconds + 2;
Slot ring[kRingSlots];
std::atomic<uint64_t> latestSecond{0};  // the second being counted; writer's
std::atomic<uint64_t> startSecond{0};
// The seconds before latestSecond, added up; odd `totalsTurn` while the
// writer moves a second into them.
std::atomic<uint64_t> finishedPkts{0};
std::atomic<uint64_t> finishedBytes{0};
std::atomic<uint64_t> totalsTurn{0};

void add(std::atomic<uint32_t>& a, uint32_t n) { a.store(a.load(std::memory_order_relaxed) + n, std::memory_order_relaxed); }
void add(std::atomic<uint64_t>& a, uint64_t n) { a.store(a.load(std::memory_order_relaxed) + n, std::memory_order_relaxed); }

}  // namespace

void recordTraffic(uint64_t nowMillis, uint32_t bytes, size_t openFlows) {
  const uint64_t second = nowMillis / 1000;
  uint64_t latest = latestSecond.load(std::memory_order_relaxed);
  if (second > latest) {
    const uint64_t turn = totalsTurn.load(std::memory_order_relaxed);
    totalsTurn.store(turn + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    const Slot& done = ring[latest % kRingSlots];
    if (done.second.load(std::memory_order_relaxed) == latest) {
      add(finishedPkts, done.pkts.load(std::memory_order_relaxed));
      add(finishedBytes, done.bytes.load(std::memory_order_relaxed));
    }
    Slot& fresh = ring[second % kRingSlots];
    fresh.second.store(0, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    fresh.pkts.store(0, std::memory_order_relaxed);
    fresh.bytes.store(0, std::memory_order_relaxed);
    fresh.second.store(second, std::memory_order_release);
    latestSecond.store(second, std::memory_order_relaxed);
    totalsTurn.store(turn + 2, std::memory_order_release);
    latest = second;
    if (startSecond.load(std::memory_order_relaxed) == 0) startSecond.store(second, std::memory_order_relaxed);
  }
  Slot& slot = ring[latest % kRingSlots];
  add(slot.pkts, 1);
  add(slot.bytes, bytes);
  slot.flows.store(openFlows, std::memory_order_relaxed);
}

void startTrafficHistory(uint64_t nowMillis) { startSecond.store(nowMillis / 1000, std::memory_order_relaxed); }

std::vector<TrafficSample> trafficHistory(uint64_t nowMillis, uint64_t sinceMillis) {
  std::vector<TrafficSample> out;
  const uint64_t start = startSecond.load(std::memory_order_relaxed);
  const uint64_t now = nowMillis / 1000;
  if (start == 0 || now < kHistorySeconds) return out;
  const uint64_t first = std::max({start, now - kHistorySeconds, sinceMillis / 1000});
  if (first >= now) return out;
  out.reserve(now - first);
  bool seen = false;
  for (uint64_t t = first; t < now; ++t) {
    const Slot& slot = ring[t % kRingSlots];
    TrafficSample s;
    s.second = t;
    if (slot.second.load(std::memory_order_acquire) == t) {
      s.pkts = slot.pkts.load(std::memory_order_relaxed);
      s.bytes = slot.bytes.load(std::memory_order_relaxed);
      s.flows = slot.flows.load(std::memory_order_relaxed);
      std::atomic_thread_fence(std::memory_order_acquire);
      if (slot.second.load(std::memory_order_relaxed) != t) s = TrafficSample{t};
    }
    if (s.pkts != 0) {
      // Seconds without packets before the first one that had some: its flows.
      if (!seen) for (TrafficSample& earlier : out) earlier.flows = s.flows;
      seen = true;
    } else if (!out.empty()) {
      s.flows = out.back().flows;
    }
    out.push_back(s);
  }
  return out;
}

TrafficTotals trafficTotals() {
  for (;;) {
    const uint64_t turn = totalsTurn.load(std::memory_order_acquire);
    if (turn % 2 != 0) continue;
    TrafficTotals t{finishedPkts.load(std::memory_order_relaxed), finishedBytes.load(std::memory_order_relaxed)};
    const uint64_t latest = latestSecond.load(std::memory_order_relaxed);
    const Slot& slot = ring[latest % kRingSlots];
    if (latest != 0 && slot.second.load(std::memory_order_relaxed) == latest) {
      t.pkts += slot.pkts.load(std::memory_order_relaxed);
      t.bytes += slot.bytes.load(std::memory_order_relaxed);
    }
    std::atomic_thread_fence(std::memory_order_acquire);
    if (totalsTurn.load(std::memory_order_relaxed) == turn) return t;
  }
}

void resetTrafficHistory() {
  finishedPkts.store(0);
  finishedBytes.store(0);
  totalsTurn.store(0);
  for (Slot& slot : ring) {
    slot.second.store(0);
    slot.pkts.store(0);
    slot.bytes.store(0);
    slot.flows.store(0);
  }
  latestSecond.store(0);
  startSecond.store(0);
}
