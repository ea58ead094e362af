// The ClickHouse store's speed: records written per second in the writer's
// batches, the top-processes question of the last hour over a table of
// ten million records, and the web view's usage question over them. Needs a server: bench/clickhouse_store.sh starts one
// of its own and gives its location in VANTREL_CLICKHOUSE.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <iostream>

#include "platform/clock.h"
#include "store/clickhouse_store.h"

namespace {

constexpr uint64_t kHour = 3600ull * 1000;

std::unique_ptr<FlowStore> openStore() {
  const char* location = getenv("VANTREL_CLICKHOUSE");
  if (location == nullptr) return nullptr;
  StoreOpenFailure failure;
  std::string error;
  auto store = openClickHouseStore(location, true, failure, error);
  if (!store) std::cerr << error << "\n";
  return store;
}

// A day of flows of 20 hosts and 200 programs, the `i`-th of `n`.
StoredFlow record(uint64_t i, uint64_t n, uint64_t now, const std::vector<OwnerRef>& owners) {
  StoredFlow f;
  f.exporter = StoreAddress::ipv4(0x0a000001 + static_cast<uint32_t>(i % 20));
  f.srcip = f.exporter;
  f.dstip = StoreAddress::ipv4(0xc6336400 + static_cast<uint32_t>(i * 2654435761u % 65536));
  f.srcport = static_cast<uint16_t>(32768 + i % 28000);
  f.dstport = i % 3 == 0 ? 53 : 443;
  f.proto = i % 3 == 0 ? 17 : 6;
  f.lastseen = now - (i * 24 * kHour) / n;
  f.firstseen = f.lastseen - 800;
  f.pkts = 4 + i % 30;
  f.bytes = 300 + static_cast<uint32_t>(i * 7919 % 20000);
  f.outif = 1;
  f.owner = owners[i % owners.size()];
  return f;
}

std::vector<OwnerRef> someOwners() {
  std::vector<OwnerRef> owners;
  for (int p = 0; p < 200; ++p) owners.push_back(makeOwner("/usr/bin/program" + std::to_string(p), "user", "host"));
  return owners;
}

void BM_ClickHouseWrite(benchmark::State& state) {
  auto store = openStore();
  if (!store) return state.SkipWithError("no server: run bench/clickhouse_store.sh");
  const auto owners = someOwners();
  const uint64_t now = currentTimeMillis();
  std::vector<StoredFlow> batch;
  const uint64_t size = static_cast<uint64_t>(state.range(0));
  for (uint64_t i = 0; i < size; ++i) batch.push_back(record(i, size * 100, now, owners));
  std::string error;
  for (auto _ : state) {
    if (!store->write(batch, error)) return state.SkipWithError(error.c_str());
  }
  state.SetItemsProcessed(state.iterations() * int64_t(batch.size()));
}
BENCHMARK(BM_ClickHouseWrite)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ClickHouseTopProcessesLastHour(benchmark::State& state) {
  auto store = openStore();
  if (!store) return state.SkipWithError("no server: run bench/clickhouse_store.sh");
  const uint64_t wanted = static_cast<uint64_t>(state.range(0));
  uint64_t records = 0;
  std::string error;
  if (!store->count(records, error)) return state.SkipWithError(error.c_str());
  if (records < wanted) {  // filled once; the write benchmark's records count too
    const auto owners = someOwners();
    const uint64_t now = currentTimeMillis();
    std::vector<StoredFlow> batch;
    for (uint64_t i = records; i < wanted; ++i) {
      batch.push_back(record(i, wanted, now, owners));
      if (batch.size() == 100000 || i + 1 == wanted) {
        if (!store->write(batch, error)) return state.SkipWithError(error.c_str());
        batch.clear();
      }
    }
  }
  FlowQuery q;
  q.top = TopKind::processes;
  q.since = currentTimeMillis() - kHour;
  q.limit = 20;
  std::vector<TopRow> rows;
  for (auto _ : state) {
    if (!store->queryTop(q, rows, error)) return state.SkipWithError(error.c_str());
  }
  state.counters["rows"] = double(rows.size());
  state.counters["stored"] = double(std::max(records, wanted));
}
BENCHMARK(BM_ClickHouseTopProcessesLastHour)->Arg(10000000)->Unit(benchmark::kMillisecond)->UseRealTime();

// The web view's usage question for the last 7 days by process over the
// records the question above filled in (all of them), read from the
// per-minute totals; run it after that one.
void BM_ClickHouseUsage7DaysByProcess(benchmark::State& state) {
  auto store = openStore();
  if (!store) return state.SkipWithError("no server: run bench/clickhouse_store.sh");
  UsageQuery q;
  q.until = currentTimeMillis();
  q.since = q.until - 7 * 24 * kHour;
  q.step = usageStep(q.since, q.until);
  q.since -= q.since % q.step;
  UsageAnswer answer;
  std::string error;
  for (auto _ : state) {
    if (!store->queryUsage(q, answer, error)) return state.SkipWithError(error.c_str());
  }
  uint64_t flows = 0;
  for (const UsageTotal& t : answer.top) flows += t.flows;
  state.counters["flows"] = double(flows);
}
BENCHMARK(BM_ClickHouseUsage7DaysByProcess)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
