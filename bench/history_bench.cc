// The monitor's history: the cost of one minute's pass at 1,000 new flows a
// second (counting 60,000 finished and 15,000 open flows and writing them),
// and the usage question for 7 days by process on a synthetic week of a busy
// host: 200 processes, 20,000 peers, 1,000 new flows a second on average in
// daily waves, written minute by minute with the bounds kept (7 days, 200
// MB), as the monitor would have written it.
//
//   build/history_bench                       # builds the week once (minutes)
//   build/history_bench --benchmark_filter=Usage
//
// The week is kept in /tmp/vantrel-history-bench-week-v<version>.sqlite for
// later runs; delete it to build it again.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <unordered_map>

#include "store/history_file.h"
#include "store/history_minutes.h"

namespace {

constexpr uint64_t kMinute = 60000;
constexpr uint64_t kWeekMinutes = 7 * 1440;
constexpr uint64_t kMaxBytes = 200ull << 20;
constexpr int kProcesses = 200;
constexpr int kPeers = 20000;
constexpr int kPeersPerProcess = 400;
// Named by the file's version, so that a week of an older layout is not
// measured as this one.
const std::string kWeekPath =
    "/tmp/vantrel-history-bench-week-v" + std::to_string(kHistorySchemaVersion) + ".sqlite";
// The week ends here (a minute's start), so that reruns ask the same range.
constexpr uint64_t kWeekEnd = 1'765'000'000'000 / kMinute * kMinute;

// Weights 1/(rank+1)^s, as a cumulative table for one uniform draw.
std::discrete_distribution<int> zipf(int n, double s) {
  std::vector<double> w(n);
  for (int i = 0; i < n; ++i) w[i] = 1.0 / std::pow(i + 1, s);
  return std::discrete_distribution<int>(w.begin(), w.end());
}

std::string processName(int p) { return "/usr/lib/app" + std::to_string(p) + "/bin/worker" + std::to_string(p); }
std::string peerText(int peer) {
  return "198." + std::to_string(18 + peer / 65536) + "." + std::to_string(peer / 256 % 256) + "." +
         std::to_string(peer % 256);
}

// One minute of a busy host: `flows` flows drawn from the host's habits,
// aggregated as the tracker would (each flow counts once, with its bytes).
struct Host {
  std::mt19937_64 random{7};
  std::discrete_distribution<int> process = zipf(kProcesses, 1.0);
  std::discrete_distribution<int> peerRank = zipf(kPeersPerProcess, 1.1);
  std::exponential_distribution<double> size{1.0 / 20000};
  std::vector<std::string> names, peers;
  Host() {
    for (int p = 0; p < kProcesses; ++p) names.push_back(processName(p));
    for (int i = 0; i < kPeers; ++i) peers.push_back(peerText(i));
  }

  HistoryMinutes minute(uint64_t minute, size_t flows) {
    struct Sum {
      uint64_t bytes = 0, pkts = 0, flows = 0;
    };
    std::unordered_map<uint64_t, Sum> sums;
    for (size_t i = 0; i < flows; ++i) {
      const int p = process(random);
      // Each process has its own few hundred peers, the first ones most often.
      const int peer = (p * 97 + peerRank(random)) % kPeers;
      const int port = (p % 3 == 0) ? 443 : (p % 3 == 1) ? 53 : 8000 + p;
      const int inbound = (random() % 5 == 0) ? 1 : 0;
      Sum& s = sums[(uint64_t(p) << 40) | (uint64_t(peer) << 20) | (uint64_t(port) << 1) | inbound];
      const uint64_t bytes = 60 + static_cast<uint64_t>(size(random));
      s.bytes += bytes;
      s.pkts += 1 + bytes / 1200;
      s.flows += 1;
    }
    HistoryMinutes out;
    for (const auto& [packed, s] : sums) {
      HistoryKey k;
      const int p = static_cast<int>(packed >> 40);
      k.process = names[p];
      k.user = "user" + std::to_string(p % 7);
      k.direction = packed & 1;
      k.proto = (packed >> 1 & 0x7ffff) == 53 ? 17 : 6;
      k.peer = peers[packed >> 20 & 0xfffff];
      if (k.direction == 1) k.localport = static_cast<uint16_t>(packed >> 1 & 0x7ffff);
      else k.remoteport = static_cast<uint16_t>(packed >> 1 & 0x7ffff);
      out[HistoryMinuteKey{minute, k}] = HistoryTotals{s.bytes, s.pkts, s.flows};
    }
    return out;
  }
};

// New flows in minute `m` of the week: 1,000 a second on average, in a
// daily wave between 300 and 1,700.
size_t flowsInMinute(uint64_t m) {
  const double day = static_cast<double>(m % 1440) / 1440.0;
  return static_cast<size_t>(60000.0 * (1.0 + 0.7 * std::sin(2 * M_PI * day)));
}

// Processor time of this thread.
double threadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

uint64_t fileBytes(const std::string& path) {
  uint64_t total = 0;
  for (const char* suffix : {"", "-wal"}) {
    struct stat st {};
    if (stat((path + suffix).c_str(), &st) == 0) total += static_cast<uint64_t>(st.st_size);
  }
  return total;
}

// The week's file, built on first use.
const std::string& weekFile() {
  static const std::string path = [] {
    if (access(kWeekPath.c_str(), F_OK) == 0) return kWeekPath;
    const auto begin = std::chrono::steady_clock::now();
    std::string error;
    auto file = openHistoryFile(kWeekPath, error);
    if (!file) {
      fprintf(stderr, "cannot make the week: %s\n", error.c_str());
      exit(1);
    }
    Host host;
    const uint64_t first = kWeekEnd / kMinute - kWeekMinutes;
    for (uint64_t m = first; m < kWeekEnd / kMinute; ++m) {
      HistoryMinutes minutes = host.minute(m, flowsInMinute(m));
      foldRarePeers(minutes, 5);
      if (!writeHistory(*file, minutes, error) ||
          !trimHistory(*file, m + 1, 7, kMaxBytes, error)) {
        fprintf(stderr, "week, minute %llu: %s\n", static_cast<unsigned long long>(m - first), error.c_str());
        exit(1);
      }
      if ((m - first) % 1440 == 1439) {
        uint64_t used = 0;
        historyBytes(*file, used, error);
        fprintf(stderr, "day %llu written: %.1f MB of data\n", static_cast<unsigned long long>((m - first) / 1440 + 1),
                used / 1048576.0);
      }
    }
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    fprintf(stderr, "the week took %.0f s to write\n", took);
    return kWeekPath;
  }();
  return path;
}

// One minute's pass at 1,000 new flows a second: 60,000 flows finish (each
// seen open once before), 15,000 are open, and the rows go to the file.
void BM_HistoryPassAt1000FlowsPerSecond(benchmark::State& state) {
  char name[] = "/tmp/vantrel-history-pass-XXXXXX";
  const std::string dir = mkdtemp(name);
  std::string error;
  auto file = openHistoryFile(dir + "/h.sqlite", error);
  std::mt19937_64 random(3);
  auto process = zipf(kProcesses, 1.0);
  auto peerRank = zipf(kPeersPerProcess, 1.1);
  std::vector<OwnerRef> owners;
  for (int p = 0; p < kProcesses; ++p) owners.push_back(makeOwner(processName(p), "user", "host"));
  uint64_t now = kWeekEnd;
  uint16_t clientPort = 1024;
  auto makeFlows = [&](size_t n, uint64_t at) {
    std::vector<FlowEntry> flows;
    flows.reserve(n);
    for (size_t i = 0; i < n; ++i) {
      const int p = process(random);
      const uint32_t peer = 0xC6120000u + static_cast<uint32_t>((p * 97 + peerRank(random)) % kPeers);
      flows.emplace_back(makeFlowRecord(0, 1, 6, 0x0A000001, peer, clientPort++, 443, 0, 0, 0, at - 20000, owners[p]));
      flows.back().lastseen = at - 1000;
      flows.back().pkts = 12;
      flows.back().bytes = 9000;
    }
    return flows;
  };
  FlowTracker tracker;
  size_t rows = 0;
  double seconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    now += kMinute;
    std::vector<FlowEntry> finished = makeFlows(60000, now);
    std::vector<FlowEntry> open = makeFlows(15000, now);
    // The finished ones were seen open by the previous pass.
    HistoryMinutes ignored;
    countOpenFlows(tracker, finished, now - kMinute, ignored);
    for (FlowEntry& f : finished) f.bytes += 3000, f.pkts += 4;
    state.ResumeTiming();
    const double begin = threadSeconds();
    HistoryMinutes minutes;
    countFinishedFlows(tracker, finished, minutes);
    countOpenFlows(tracker, open, now, minutes);
    foldRarePeers(minutes, 5);
    if (!writeHistory(*file, minutes, error)) state.SkipWithError(error.c_str());
    seconds += threadSeconds() - begin;
    rows = minutes.size();
  }
  state.counters["rows"] = static_cast<double>(rows);
  // The share of one core: the pass's processor time over the minute it
  // covers (waits for the disk are not the processor's).
  state.counters["core%"] = 100.0 * seconds / static_cast<double>(state.iterations()) / 60.0;
  file.reset();
  (void)system(("rm -rf '" + dir + "'").c_str());
}
BENCHMARK(BM_HistoryPassAt1000FlowsPerSecond)->Unit(benchmark::kMillisecond)->Iterations(10);

// The question for the last `minutes` of the week, grouped by
// state.range(0); with state.range(1), only the busiest process's.
void usageQuestion(benchmark::State& state, uint64_t minutes) {
  const std::string& path = weekFile();
  UsageQuery q;
  q.until = kWeekEnd;
  q.since = kWeekEnd - minutes * kMinute;
  if (state.range(1) != 0) q.process = processName(0);
  q.step = usageStep(q.since, q.until);
  q.since -= q.since % q.step;
  q.by = static_cast<UsageBy>(state.range(0));
  std::string error;
  UsageAnswer answer;
  for (auto _ : state) {
    if (!queryHistoryUsage(path, q, answer, error)) state.SkipWithError(error.c_str());
  }
  state.counters["fileMB"] = static_cast<double>(fileBytes(path)) / 1048576.0;
  state.counters["keys"] = static_cast<double>(answer.top.size());
}
void BM_UsageSevenDays(benchmark::State& state) { usageQuestion(state, kWeekMinutes); }
void BM_UsageOneDay(benchmark::State& state) { usageQuestion(state, 1440); }

// Args: the grouping (process 0, peer 1, service 2, port 3, user 4) and
// whether to ask about one process only.
void groupings(benchmark::internal::Benchmark* b) {
  for (UsageBy by : {UsageBy::process, UsageBy::peer, UsageBy::service, UsageBy::port, UsageBy::user}) {
    b->Args({static_cast<int>(by), 0});
  }
  b->Args({static_cast<int>(UsageBy::peer), 1});
  b->Args({static_cast<int>(UsageBy::port), 1});
}
BENCHMARK(BM_UsageSevenDays)->Apply(groupings)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UsageOneDay)->Args({static_cast<int>(UsageBy::process), 0})->Unit(benchmark::kMillisecond);

}  // namespace
