// Memory per open flow: fills flowCache with 1,000,000 records and reports
// how much the process grew per record, from its resident size
// (/proc/self/statm) and from the allocator's count of bytes in use. One
// case with no owner (ICMP and unattributed flows), one where every record
// shares one owner (many flows of one process), and the first again with
// IPv6 flows in flowCache6.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "flow/flow_table.h"

namespace {

constexpr size_t kFlows = 1'000'000;
constexpr uint64_t kT0 = 1700000000000;

// Resident bytes of this process.
size_t residentBytes() {
  long pages = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(f);
  return static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// Bytes the allocator has handed out, mmap'ed blocks (large arrays)
// included.
size_t heapBytesInUse() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

// Empties both tables and hands the freed pages back to the system, so the
// next fill starts from the same resident size.
void emptyTables() {
  {
    std::lock_guard<std::mutex> lock(flowTableMutex);
    FlowCache().swap(flowCache);
    FlowCache6().swap(flowCache6);
    toExport.clear();
    toExport.shrink_to_fit();
  }
  malloc_trim(0);
}

// Record i of a fill: distinct keys that FlowKeyHash spreads without
// collisions (source address steps the hash by 16, the port by 1).
FlowRecord recordNumber(size_t i, const OwnerRef& owner) {
  const uint32_t src = 0x0acb0000u + static_cast<uint32_t>(i % 65536);  // 10.203.x.y
  const uint32_t dst = 0x0acc0001u;                                      // 10.204.0.1
  const uint16_t sport = static_cast<uint16_t>(1024 + i / 65536);
  return makeFlowRecord(1, 0, owner ? 6 : 1, src, dst, sport, 443, 64, owner ? 0x02 : 0, 0, kT0 + i, owner);
}

// The IPv6 flow of record i: the same fields, addresses in 2001:db8::/32.
FlowEntry entryNumber(size_t i) {
  const FlowRecord r = recordNumber(i, nullptr);
  Ip6Address src, dst;
  const uint8_t prefix[4] = {0x20, 0x01, 0x0d, 0xb8};
  memcpy(src.bytes, prefix, 4);
  memcpy(dst.bytes, prefix, 4);
  for (int b = 0; b < 4; ++b) {
    src.bytes[12 + b] = static_cast<uint8_t>(r.srcip >> (24 - 8 * b));
    dst.bytes[12 + b] = static_cast<uint8_t>(r.dstip >> (24 - 8 * b));
  }
  return makeFlowEntry6(1, 0, 58, src, dst, r.srcport, r.dstport, 64, 0, 0, 0, r.firstseen, nullptr);
}

void fill(benchmark::State& state, const OwnerRef& owner, bool ipv6 = false) {
  for (auto _ : state) {
    state.PauseTiming();
    emptyTables();
    const size_t rss0 = residentBytes();
    const size_t heap0 = heapBytesInUse();
    state.ResumeTiming();
    {
      std::lock_guard<std::mutex> lock(flowTableMutex);
      for (size_t i = 0; i < kFlows; ++i) {
        if (ipv6) {
          insertFlow6(entryNumber(i));
          continue;
        }
        FlowRecord r = recordNumber(i, owner);
        const FlowKey key = keyOf(r);
        insertFlow(key, std::move(r));
      }
    }
    state.PauseTiming();
    const size_t flows = flowCacheSize();
    if (flows != kFlows) state.SkipWithError("flowCache did not take every record");
    state.counters["flows"] = static_cast<double>(flows);
    state.counters["rss_bytes_per_flow"] = static_cast<double>(residentBytes() - rss0) / kFlows;
    state.counters["heap_bytes_per_flow"] = static_cast<double>(heapBytesInUse() - heap0) / kFlows;
    emptyTables();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(kFlows) * state.iterations());
}

void BM_MillionFlowsNoOwner(benchmark::State& state) { fill(state, nullptr); }

void BM_MillionFlowsSharedOwner(benchmark::State& state) {
  fill(state, makeOwner("/usr/lib/firefox/firefox-bin", "alice", "workstation"));
}

void BM_MillionIpv6FlowsNoOwner(benchmark::State& state) { fill(state, nullptr, true); }

BENCHMARK(BM_MillionFlowsNoOwner)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MillionFlowsSharedOwner)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MillionIpv6FlowsNoOwner)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
