// The status document with 100,000 open flows: the whole document for
// requestedData=flows (copy, JSON values, text), and the part that holds the
// flow-table lock (the copy) on its own.
#include <benchmark/benchmark.h>

#include <mutex>

#include "flow/flow_table.h"
#include "web/data_document.h"

namespace {

constexpr uint64_t kT0 = 1700000000000;
constexpr int kOpenFlows = 100000;

// flowCache filled with `count` distinct TCP and UDP flows from a handful of
// owners, as a busy host would hold them.
struct OpenFlows {
  explicit OpenFlows(int count) {
    const OwnerRef owners[] = {makeOwner("browser.exe", "alice", "HOST"), makeOwner("svchost.exe", "SYSTEM", "NT AUTHORITY"),
                               makeOwner("backup.exe", "bob", "HOST"), nullptr};
    std::lock_guard<std::mutex> lock(flowTableMutex);
    FlowCache().swap(flowCache);
    flowCache.reserve(count);
    for (int i = 0; i < count; ++i) {
      const uint8_t proto = i % 3 == 0 ? 17 : 6;
      FlowRecord r = makeFlowRecord(i % 2, 1 - i % 2, proto, 0x0a000001u, 0xc0a80000u + static_cast<uint32_t>(i / 50000),
                                    static_cast<uint16_t>(1024 + i % 50000), 443, 1500, proto == 6 ? 0x18 : 0, 0,
                                    kT0 + static_cast<uint64_t>(i), owners[i % 4]);
      r.pkts = 1 + i % 1000;
      r.bytes = r.pkts * 1200;
      insertFlow(keyOf(r), std::move(r));
    }
  }
  ~OpenFlows() {
    std::lock_guard<std::mutex> lock(flowTableMutex);
    FlowCache().swap(flowCache);
  }
};

void BM_DataDocumentWithFlows(benchmark::State& state) {
  OpenFlows flows(static_cast<int>(state.range(0)));
  size_t bytes = 0;
  for (auto _ : state) {
    const std::string text = dataDocumentText(buildDataDocument(kT0 + 5000, "flows", [] {}));
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["documentBytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_DataDocumentWithFlows)->Arg(kOpenFlows)->Unit(benchmark::kMillisecond)->UseRealTime();

// What a request holds the flow-table lock for while it lists the flows.
void BM_CopyFlowsUnderLock(benchmark::State& state) {
  OpenFlows flows(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    std::vector<FlowRecord> copy = copyFlows();
    benchmark::DoNotOptimize(copy.data());
  }
}
BENCHMARK(BM_CopyFlowsUnderLock)->Arg(kOpenFlows)->Unit(benchmark::kMillisecond)->UseRealTime();

// The totals walk, the document's other pass under the same lock.
void BM_FlowTotalsUnderLock(benchmark::State& state) {
  OpenFlows flows(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(flowTotals());
}
BENCHMARK(BM_FlowTotalsUnderLock)->Arg(kOpenFlows)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
