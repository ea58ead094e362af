// The monitor's metrics as Prometheus metric families, read from the shared
// state at a scrape: counters since start (never going down while the
// process runs), gauges of the open flows, the states, and per process name
// and per service the bytes and flows seen in the last minute. Any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "flow/flow_table.h"
#include "web/metrics_text.h"

// Most process names (services) in the per-process (per-service) families.
inline constexpr size_t kMetricsProcessLimit = 50;

// Every family at `now` (ms since 1970).
std::vector<MetricFamily> collectMetrics(uint64_t now);

// Per process name: the totals of `owners` merged by name (owners without one
// left out), most bytes first (then most flows, then by name), at most
// `limit`.
struct ProcessTotal {
  std::string name;
  uint64_t flows = 0;
  uint64_t bytes = 0;
};
std::vector<ProcessTotal> topProcesses(const std::vector<OwnerTotal>& owners, size_t limit);
// The same per service.
std::vector<ProcessTotal> topServices(const std::vector<OwnerTotal>& owners, size_t limit);

// A count kept by a 32-bit counter that wraps (exportsSent) as a 64-bit total
// that does not: each reading adds what the counter moved since the previous
// one. Readings must come less than 2^32 counts apart. Any thread.
uint64_t exportsSentTotal();
