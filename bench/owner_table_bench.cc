// What owner events cost per new flow: one event applied to the owner table
// on the events thread (the process already named, as for a program's
// second socket, or read from /proc for a new process; its cgroup's names
// from a map of a few hundred groups), and the decoder's look-up of a new
// flow's owner on the capture thread.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstring>

#include "platform/process_info.h"
#include "process/control_group.h"
#include "process/owner_events.h"

namespace {

constexpr uint64_t kNs = 4026531840;
constexpr uint32_t kHost = 0x0a000001;
constexpr uint64_t kT0 = 1700000000000;
constexpr uint64_t kCgroup = 4242;

OwnerEvent connectEvent(uint64_t cookie, uint32_t pid, uint32_t peer, uint16_t port) {
  OwnerEvent e;
  e.cookie = cookie;
  e.pid = pid;
  e.protocol = 6;
  e.localAddr = kHost;
  e.localPort = port;
  e.remoteAddr = peer;
  e.remotePort = 443;
  e.netns = kNs;
  e.cgroup = kCgroup;
  memcpy(e.comm, "client", 7);
  return e;
}

uint32_t peerOf(uint64_t i) { return 0x0a400000 + static_cast<uint32_t>(i * 2654435761u >> 10); }

// Short exchanges at `state.range(0)` new sockets a second: each socket
// connects and closes at once, and the events thread drops the expired ones
// once a second, as it does (the table then holds some ten seconds' worth).
// With `state.range(1)` set, each event comes from a process not named yet.
void BM_OwnerEventApplied(benchmark::State& state) {
  const uint64_t perSecond = static_cast<uint64_t>(state.range(0));
  const bool readProc = state.range(1) != 0;
  const uint32_t pid = static_cast<uint32_t>(getpid());
  ProcessOwnerCache cache;
  uint64_t now = kT0;
  ControlGroupMap groups;
  const ControlGroupWalk walk = [](const auto& visit) {
    for (uint64_t id = kCgroup - 200; id <= kCgroup + 200; ++id) {
      visit(id, "/system.slice/unit-" + std::to_string(id) + ".service");
    }
    return true;
  };
  const ProcessOwner ownerOf = [&](uint32_t p, uint32_t uid, const char* comm, uint64_t cgroup) {
    if (readProc) cache.byProcess.clear();
    const ControlGroupNames* group = findControlGroup(groups, cgroup, walk);
    return cachedProcessOwner(cache, p, uid, comm, cgroup, group, now, readProcessInfo, readAccountOf);
  };
  OwnerTable table;
  std::vector<OwnerEvent> batch(2);
  uint64_t cookie = 0;
  for (auto _ : state) {
    ++cookie;
    batch[0] = connectEvent(cookie, pid, peerOf(cookie), static_cast<uint16_t>(1024 + cookie % 60000));
    batch[1].kind = OwnerEventKind::kClosed;
    batch[1].cookie = cookie;
    applyOwnerEvents(table, batch, kNs, now, ownerOf);
    if (cookie % perSecond == 0) {
      now += 1000;
      std::lock_guard<std::mutex> lock(ownerTableMutex);
      expireOwners(table, now);
    }
  }
  state.counters["ends"] = static_cast<double>(table.ends.size());
}
BENCHMARK(BM_OwnerEventApplied)->Args({1000, 0})->Args({5000, 0})->Args({1000, 1});

// The decoder's question for a new flow: connections' exact ends, a
// listener's port (the fourth form tried), and a port no event named.
void BM_OwnerLookup(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  OwnerTable table;
  const OwnerRef owner = makeOwner("/usr/bin/client", "alice", "host1");
  {
    std::lock_guard<std::mutex> lock(ownerTableMutex);
    for (uint64_t i = 1; i <= 20000; ++i) {
      recordOwned(table, OwnerKey{kHost, peerOf(i), static_cast<uint16_t>(1024 + i), 443, 6}, i, owner, kT0);
    }
    recordOwned(table, OwnerKey{0, 0, 8443, 0, 6}, 99999, owner, kT0);
  }
  uint64_t i = 0;
  for (auto _ : state) {
    i = i % 20000 + 1;
    const SocketEnds ends = kind == 0   ? SocketEnds{kHost, static_cast<uint16_t>(1024 + i), peerOf(i), 443}
                            : kind == 1 ? SocketEnds{kHost, 8443, peerOf(i), static_cast<uint16_t>(1024 + i)}
                                        : SocketEnds{kHost, 9, peerOf(i), 443};
    OwnerRef found;
    std::lock_guard<std::mutex> lock(ownerTableMutex);
    benchmark::DoNotOptimize(findOwner(table, 6, ends, found));
  }
  state.SetLabel(kind == 0 ? "connection" : kind == 1 ? "listener" : "miss");
}
BENCHMARK(BM_OwnerLookup)->Arg(0)->Arg(1)->Arg(2);

}  // namespace
