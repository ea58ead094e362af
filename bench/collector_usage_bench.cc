// The collector web view's usage question over its SQLite store: 10 million
// flows of 50 exporters and 200 programs spread over the last 7 days, asked
// for those 7 days by process (all exporters, then one), and by peer. The
// store is filled once into /tmp/vantrel-usage-bench.sqlite and kept for
// later runs (remove it to fill it anew; a store filled by an older version
// gets its usage totals when the bench first opens it for writing); each
// question opens the store anew, as the web view does. Counters: the
// file's bytes per record and the part of them the usage index takes.
//
//   build/collector_usage_bench
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <random>

#include "platform/clock.h"
#include "store/flow_store.h"

namespace {

constexpr uint64_t kRecords = 10'000'000;
constexpr uint64_t kWeekMs = 7 * 24 * 3600 * 1000ull;
constexpr const char* kPath = "/tmp/vantrel-usage-bench.sqlite";

const std::vector<OwnerRef>& owners() {
  static const std::vector<OwnerRef> list = [] {
    std::vector<OwnerRef> v;
    for (int i = 0; i < 200; ++i) {
      v.push_back(makeOwner("/opt/app" + std::to_string(i) + "/bin/app" + std::to_string(i),
                            "user" + std::to_string(i % 20), "HOST" + std::to_string(i % 50)));
    }
    return v;
  }();
  return list;
}

std::unique_ptr<FlowStore> openStore(bool forWriting) {
  StoreOpenFailure failure;
  std::string error;
  auto store = openFlowStore(kPath, forWriting, failure, error);
  if (!store) fprintf(stderr, "%s\n", error.c_str());
  return store;
}

// The store's records end at the time it was filled; the questions ask for
// the 7 days before that.
uint64_t filledStore() {
  static const uint64_t end = [] {
    uint64_t n = 0;
    std::vector<StoreHost> hosts;
    if (auto store = openStore(false)) {
      std::string error;
      if (!store->count(n, error) || !store->listHosts(hosts, error)) n = 0;
    }
    if (n == kRecords && !hosts.empty()) {
      // A store of an older version gets its usage totals here, once. The
      // writer is the file's only connection, so that closing it empties
      // the log, as the collector's long-lived writer keeps it short.
      const auto start = std::chrono::steady_clock::now();
      if (!openStore(true)) return uint64_t(0);
      fprintf(stderr, "store opened for writing in %.1f s\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      return hosts[0].lastSeen + 1;
    }
    remove(kPath);
    auto store = openStore(true);
    const uint64_t now = currentTimeMillis();
    std::mt19937 rng(7);
    std::vector<StoredFlow> batch;
    for (uint64_t i = 0; i < kRecords; i += 10000) {
      batch.clear();
      for (uint64_t j = i; j < i + 10000; ++j) {
        StoredFlow f;
        f.exporter = StoreAddress::ipv4(0x0A000000 + rng() % 50);
        f.srcip = f.exporter;
        f.dstip = StoreAddress::ipv4(0x20000000 + rng() % 20000);
        f.proto = rng() % 4 == 0 ? 17 : 6;
        f.srcport = static_cast<uint16_t>(32768 + rng() % 28000);
        f.dstport = static_cast<uint16_t>(rng() % 3 == 0 ? 53 : 443);
        f.lastseen = now - kWeekMs + kWeekMs * j / kRecords;
        f.firstseen = f.lastseen - rng() % 60000;
        f.pkts = 1 + rng() % 200;
        f.bytes = f.pkts * (60 + rng() % 1400);
        f.outif = 1;
        f.owner = owners()[rng() % owners().size()];
        batch.push_back(f);
      }
      std::string error;
      if (!store->write(batch, error)) {
        fprintf(stderr, "%s\n", error.c_str());
        break;
      }
    }
    return now;
  }();
  return end;
}

// Bytes of the file and of one index in it (dbstat), once.
void sizeCounters(benchmark::State& state) {
  struct stat st {};
  const double file = stat(kPath, &st) == 0 ? double(st.st_size) : 0;
  state.counters["bytes_per_record"] = file / double(kRecords);
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(kPath, &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT sum(pgsize) FROM dbstat WHERE name = 'flows_usage'", -1, &s, nullptr) ==
            SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW) {
      state.counters["usage_index_bytes_per_record"] = double(sqlite3_column_int64(s, 0)) / double(kRecords);
    }
    sqlite3_finalize(s);
  }
  sqlite3_close(db);
}

void ask(benchmark::State& state, UsageBy by, const char* host) {
  const uint64_t end = filledStore();
  UsageQuery q;
  q.until = end;
  q.since = end - kWeekMs;
  q.step = usageStep(q.since, q.until);
  q.since -= q.since % q.step;
  q.by = by;
  q.host = host;
  uint64_t flows = 0;
  for (auto _ : state) {
    auto store = openStore(false);
    UsageAnswer answer;
    std::string error;
    if (!store || !store->queryUsage(q, answer, error)) state.SkipWithError(error.c_str());
    flows = 0;
    for (const UsageTotal& t : answer.top) flows += t.flows;
  }
  state.counters["flows"] = double(flows);
  sizeCounters(state);
}

void BM_Usage7DaysByProcess(benchmark::State& state) { ask(state, UsageBy::process, ""); }
void BM_Usage7DaysByProcessOneHost(benchmark::State& state) { ask(state, UsageBy::process, "10.0.0.7"); }
void BM_Usage7DaysByPeer(benchmark::State& state) { ask(state, UsageBy::peer, ""); }

BENCHMARK(BM_Usage7DaysByProcess)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_Usage7DaysByProcessOneHost)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_Usage7DaysByPeer)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

}  // namespace
