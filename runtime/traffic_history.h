// The traffic of the last 15 minutes, one sample per second: packets and bytes
// captured and open flows. The capture thread is the only writer and takes no
// lock; web threads read it at any time. A ring of fixed size, filled with
// atomics, so the packet path neither allocates nor waits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

inline constexpr size_t kHistorySeconds = 900;

// Capture thread (or one other single writer): counts one packet of `bytes`
// bytes into the second of `nowMillis`, and notes `openFlows` for it. A time
// before the latest second counted counts into that second.
void recordTraffic(uint64_t nowMillis, uint32_t bytes, size_t openFlows);

// The start of the history: seconds before it are not reported. Set once at
// start-up; when never set, the first recorded packet sets it.
void startTrafficHistory(uint64_t nowMillis);

struct TrafficSample {
  uint64_t second = 0;  // seconds since 1970
  uint32_t pkts = 0;
  uint64_t bytes = 0;
  uint64_t flows = 0;
};

// The finished seconds (those before the second of `nowMillis`) of the last
// kHistorySeconds, not before the start and not before `sinceMillis`'s
// second, oldest first. A second without packets is a sample with zero
// packets and bytes and the open flows of the sample before it. Any thread.
std::vector<TrafficSample> trafficHistory(uint64_t nowMillis, uint64_t sinceMillis);

// Packets and bytes recorded since start, the second being counted
// included: they never go down, however capture runs come and go. Any
// thread; costs the packet path nothing (the writer adds each second to the
// totals as the next one begins).
struct TrafficTotals {
  uint64_t pkts = 0;
  uint64_t bytes = 0;
};
TrafficTotals trafficTotals();

// Forgets everything, including the start. For tests and benchmarks; no
// writer may run at the same time.
void resetTrafficHistory();
