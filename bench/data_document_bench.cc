// The status document with 100,000 open flows: the whole document for
// requestedData=flows (copy, JSON values, text) built in memory and written
// piece by piece, a selected page, the totals per owner, the traffic history,
// and the parts that hold the flow-table lock on their own.
#include <benchmark/benchmark.h>

#include <mutex>

#include "flow/flow_table.h"
#include "runtime/traffic_history.h"
#include "web/data_document.h"
#include "web/flow_list_text.h"

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

// The same list as it is sent now: copied, then written piece by piece.
void BM_FullFlowListPieceByPiece(benchmark::State& state) {
  OpenFlows flows(static_cast<int>(state.range(0)));
  size_t bytes = 0;
  std::vector<char> piece(64 * 1024);
  for (auto _ : state) {
    std::vector<FlowEntry> list;
    const Json::Value doc = buildDataDocument(kT0 + 5000, DataRequest{"flows"}, [] {}, &list);
    const auto text = startFlowListText(doc, std::move(list), kT0 + 5000);
    bytes = 0;
    for (size_t n; (n = readFlowListText(*text, piece.data(), piece.size())) != 0;) bytes += n;
  }
  state.counters["documentBytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_FullFlowListPieceByPiece)->Arg(kOpenFlows)->Unit(benchmark::kMillisecond)->UseRealTime();

// The Flows view's request: one page of 500 sorted by bytes, without a filter
// and with one that most flows pass (a word and the protocol).
void BM_FlowPage(benchmark::State& state, const char* filter) {
  OpenFlows flows(static_cast<int>(state.range(0)));
  DataRequest request{"flows"};
  request.selection = readFlowSelection([filter](const char* name) -> const char* {
    const std::string n = name;
    return n == "sortBy" ? "bytes" : n == "sortOrder" ? "desc" : n == "pageSize" ? "500" : n == "filter" ? filter : nullptr;
  });
  size_t bytes = 0;
  for (auto _ : state) {
    const std::string text = dataDocumentText(buildDataDocument(kT0 + 5000, request, [] {}));
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["documentBytes"] = static_cast<double>(bytes);
}
BENCHMARK_CAPTURE(BM_FlowPage, unfiltered, nullptr)->Arg(kOpenFlows)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_FlowPage, filtered, "192.168 proto=6")->Arg(kOpenFlows)->Unit(benchmark::kMillisecond)->UseRealTime();

// The busiest-processes panel's request: totals per owner, ten of them.
void BM_OwnerTotals(benchmark::State& state) {
  OpenFlows flows(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    const std::string text = dataDocumentText(buildDataDocument(kT0 + 5000, DataRequest{"ownerTotals"}, [] {}));
    benchmark::DoNotOptimize(text.data());
  }
}
BENCHMARK(BM_OwnerTotals)->Arg(kOpenFlows)->Unit(benchmark::kMillisecond)->UseRealTime();

// The chart's request at page load: fifteen full minutes of history.
void BM_History(benchmark::State& state) {
  resetTrafficHistory();
  const uint64_t start = kT0 - kHistorySeconds * 1000;
  for (uint64_t t = start; t < kT0; t += 10) recordTraffic(t, 1500, 100000);
  for (auto _ : state) {
    const std::string text = dataDocumentText(buildDataDocument(kT0, DataRequest{"history"}, [] {}));
    benchmark::DoNotOptimize(text.data());
  }
  resetTrafficHistory();
}
BENCHMARK(BM_History)->Unit(benchmark::kMillisecond)->UseRealTime();

// The capture thread's share of the history: one packet counted.
void BM_RecordTraffic(benchmark::State& state) {
  resetTrafficHistory();
  uint64_t t = kT0;
  for (auto _ : state) recordTraffic(t++ / 64, 1500, 100000);
  resetTrafficHistory();
}
BENCHMARK(BM_RecordTraffic);

// What a request holds the flow-table lock for while it lists the flows.
void BM_CopyFlowsUnderLock(benchmark::State& state) {
  OpenFlows flows(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    std::vector<FlowEntry> copy = copyFlows();
    benchmark::DoNotOptimize(copy.data());
  }
}
BENCHMARK(BM_CopyFlowsUnderLock)->Arg(kOpenFlows)->Unit(benchmark::kMillisecond)->UseRealTime();

// The totals per owner object, walked under the lock.
void BM_OwnerTotalsUnderLock(benchmark::State& state) {
  OpenFlows flows(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(flowTotalsByOwner());
}
BENCHMARK(BM_OwnerTotalsUnderLock)->Arg(kOpenFlows)->Unit(benchmark::kMillisecond)->UseRealTime();

// The totals walk, the document's other pass under the same lock.
void BM_FlowTotalsUnderLock(benchmark::State& state) {
  OpenFlows flows(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(flowTotals());
}
BENCHMARK(BM_FlowTotalsUnderLock)->Arg(kOpenFlows)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
