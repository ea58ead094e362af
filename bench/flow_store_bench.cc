// The collector's SQLite store: records written per second (one
// transaction per 10,000, as the writer does, and through the writer's
// queue and thread), the file's bytes per record with its indexes, and the
// top-processes question over the last hour on a store of 1 and 10 million
// records spread over a day, and the far-end question on 10 million with
// extreme times among them.
//
//   build/flow_store_bench
//   build/flow_store_bench --benchmark_filter=Top   # the query alone
//
// Files are made under /tmp and removed at the end.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <random>

#include "platform/clock.h"
#include "store/flow_store.h"
#include "store/store_writer.h"

namespace {

constexpr size_t kBatch = 10000;
constexpr uint64_t kHourMs = 3600 * 1000;

struct Folder {
  std::string path;
  Folder() {
    char name[] = "/tmp/vantrel-store-bench-XXXXXX";
    path = mkdtemp(name);
  }
  ~Folder() { (void)system(("rm -rf '" + path + "'").c_str()); }
};

Folder& folder() {
  static Folder f;
  return f;
}

// 200 programs of 50 hosts on 20 accounts, as a fleet's flows look.
const std::vector<OwnerRef>& owners() {
  static const std::vector<OwnerRef> list = [] {
    std::vector<OwnerRef> v;
    for (int i = 0; i < 200; ++i) {
      v.push_back(makeOwner("C:/Program Files/App" + std::to_string(i) + "/app" + std::to_string(i) + ".exe",
                            "user" + std::to_string(i % 20), "HOST" + std::to_string(i % 50)));
    }
    return v;
  }();
  return list;
}

// Record `i` of a store whose records end at `end`, `spanMs` apart from
// the first to the last of `total`.
StoredFlow generated(uint64_t i, uint64_t total, uint64_t end, uint64_t spanMs, std::mt19937& rng) {
  StoredFlow f;
  const uint32_t host = rng() % 50;
  f.exporter = StoreAddress::ipv4(0x0A000000 + host);
  f.srcip = f.exporter;
  f.dstip = StoreAddress::ipv4(0x20000000 + rng() % 0xC0000000);
  f.proto = rng() % 4 == 0 ? 17 : 6;
  f.srcport = static_cast<uint16_t>(32768 + rng() % 28000);
  f.dstport = static_cast<uint16_t>(rng() % 3 == 0 ? 53 : 443);
  f.lastseen = end - spanMs + spanMs * i / total;
  f.firstseen = f.lastseen - rng() % 60000;
  f.pkts = 1 + rng() % 200;
  f.bytes = f.pkts * (60 + rng() % 1400);
  f.flags = f.proto == 6 ? 0x1B : 0;
  f.replydelay = static_cast<uint16_t>(f.proto == 6 ? rng() % 200 : 0);
  f.outif = 1;
  f.owner = owners()[rng() % owners().size()];
  return f;
}

std::unique_ptr<FlowStore> openStore(const std::string& path, bool forWriting) {
  StoreOpenFailure failure;
  std::string error;
  auto store = openFlowStore(path, forWriting, failure, error);
  if (!store) fprintf(stderr, "%s\n", error.c_str());
  return store;
}

uint64_t fileBytes(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// One transaction of 10,000 records per iteration, into one file; at the
// end the file's size (log checkpointed) over its records.
void BM_StoreWrite(benchmark::State& state) {
  const std::string path = folder().path + "/write.sqlite";
  unlink(path.c_str());
  auto store = openStore(path, true);
  std::mt19937 rng(1);
  const uint64_t now = currentTimeMillis();
  std::vector<StoredFlow> batch;
  uint64_t written = 0;
  for (auto _ : state) {
    state.PauseTiming();
    batch.clear();
    for (size_t i = 0; i < kBatch; ++i) batch.push_back(generated(written + i, 1'000'000, now, 24 * kHourMs, rng));
    state.ResumeTiming();
    std::string error;
    if (!store->write(batch, error)) state.SkipWithError(error.c_str());
    written += batch.size();
  }
  state.SetItemsProcessed(static_cast<int64_t>(written));
  store.reset();  // closing checkpoints the log into the file
  state.counters["bytes_per_record"] = double(fileBytes(path)) / double(written);
  state.counters["records"] = double(written);
}
BENCHMARK(BM_StoreWrite)->Iterations(100)->Unit(benchmark::kMillisecond)->UseRealTime();

// The collector's path: records queued by one thread, written by the
// writer's, until all of them are in the file.
void BM_StoreWriterQueueToDisk(benchmark::State& state) {
  const size_t total = 500'000;
  std::mt19937 rng(2);
  const uint64_t now = currentTimeMillis();
  std::vector<std::vector<StoredFlow>> datagrams;  // 25 records each, as a full datagram carries
  for (size_t i = 0; i < total; i += 25) {
    datagrams.emplace_back();
    for (size_t j = 0; j < 25; ++j) datagrams.back().push_back(generated(i + j, total, now, kHourMs, rng));
  }
  for (auto _ : state) {
    state.PauseTiming();
    const std::string path = folder().path + "/queue.sqlite";
    unlink(path.c_str());
    auto copies = datagrams;
    StoreWriter writer;
    StoreWriterSettings settings;
    settings.queueCapacity = total;
    startStoreWriter(writer, openStore(path, true), settings, [](const std::string&) {});
    state.ResumeTiming();
    for (auto& d : copies) queueFlows(writer, d);
    finishStoreWriter(writer);
    if (writer.stored != total) state.SkipWithError("records missing");
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * total));
}
BENCHMARK(BM_StoreWriterQueueToDisk)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// `query --top processes --since 1h` on a store of state.range(0) records
// over the last 24 hours (about 1/24 of them in the last hour); the store is
// opened anew for each question, as the command does.
void BM_TopProcessesSince1h(benchmark::State& state) {
  const uint64_t total = static_cast<uint64_t>(state.range(0));
  const std::string path = folder().path + "/top-" + std::to_string(total) + ".sqlite";
  const uint64_t now = currentTimeMillis();
  {
    unlink(path.c_str());
    auto store = openStore(path, true);
    std::mt19937 rng(3);
    std::vector<StoredFlow> batch;
    for (uint64_t i = 0; i < total; i += kBatch) {
      batch.clear();
      for (uint64_t j = i; j < std::min(total, i + kBatch); ++j) batch.push_back(generated(j, total, now, 24 * kHourMs, rng));
      std::string error;
      if (!store->write(batch, error)) {
        state.SkipWithError(error.c_str());
        return;
      }
    }
  }
  FlowQuery q;
  q.top = TopKind::processes;
  q.since = now - kHourMs;
  q.limit = 10;
  uint64_t flows = 0;
  for (auto _ : state) {
    auto store = openStore(path, false);
    std::vector<TopRow> rows;
    std::string error;
    if (!store->queryTop(q, rows, error)) state.SkipWithError(error.c_str());
    flows = 0;
    for (const TopRow& r : rows) flows += r.flows;
    benchmark::DoNotOptimize(rows);
  }
  state.counters["bytes_per_record"] = double(fileBytes(path)) / double(total);
  state.counters["top10_flows"] = double(flows);
  unlink(path.c_str());
}
BENCHMARK(BM_TopProcessesSince1h)->Arg(1'000'000)->Arg(10'000'000)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

// `query --peer ADDR` (no --since) on a store of 10 million records over
// the last 24 hours with a few records at extreme times among them (0,
// 2^63-1 and beyond): the question steps through the minutes that hold
// records, so the extremes cost nothing. The store is built once and kept
// (VANTREL_PEER_STORE, default /tmp/vantrel-peer-bench.sqlite) for later
// runs; delete it to build anew.
void BM_PeerQueryWithExtremeTimes(benchmark::State& state) {
  const uint64_t total = 10'000'000;
  const char* given = getenv("VANTREL_PEER_STORE");
  const std::string path = given ? given : "/tmp/vantrel-peer-bench.sqlite";
  const uint64_t now = currentTimeMillis();
  if (fileBytes(path) == 0) {
    auto store = openStore(path, true);
    std::mt19937 rng(5);
    std::vector<StoredFlow> batch;
    std::string error;
    for (uint64_t i = 0; i < total; i += kBatch) {
      batch.clear();
      for (uint64_t j = i; j < std::min(total, i + kBatch); ++j) batch.push_back(generated(j, total, now, 24 * kHourMs, rng));
      if (i == 0) {
        for (uint64_t t : {uint64_t(0), uint64_t(INT64_MAX), UINT64_MAX}) {
          StoredFlow f = batch[0];
          f.firstseen = f.lastseen = t;
          f.dstip = StoreAddress::ipv4(0xC0000207);
          batch.push_back(f);
        }
      }
      if (!store->write(batch, error)) {
        state.SkipWithError(error.c_str());
        return;
      }
    }
  }
  FlowQuery q;
  parseStoreAddress("192.0.2.7", q.peerLow);
  q.peerHigh = q.peerLow;
  q.limit = 1001;
  uint64_t flows = 0;
  for (auto _ : state) {
    auto store = openStore(path, false);
    std::string error;
    flows = 0;
    if (!store->queryFlows(q, [&](const StoredFlow&) { ++flows; }, error)) state.SkipWithError(error.c_str());
  }
  state.counters["flows"] = double(flows);
}
BENCHMARK(BM_PeerQueryWithExtremeTimes)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace
