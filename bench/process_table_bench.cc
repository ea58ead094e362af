// Refresh of the port-to-process tables with 1,000 sockets of the
// benchmark's own open on 127.0.0.1 (500 TCP listeners, 500 UDP sockets),
// besides whatever else the machine holds.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "platform/endpoints.h"
#include "process/process_table.h"

namespace {

constexpr int kEachKind = 500;
constexpr uint64_t kT0 = 1700000000000;

int boundSocket(int type) {
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::perror("bind");
    if (fd >= 0) close(fd);
    return -1;
  }
  if (type == SOCK_STREAM && listen(fd, 1) != 0) {
    std::perror("listen");
    close(fd);
    return -1;
  }
  return fd;
}

// Made once, kept for the whole run.
struct OpenSockets {
  std::vector<int> fds;
  bool ok = false;
  OpenSockets() {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < 4096) {
      lim.rlim_cur = lim.rlim_max < 4096 ? lim.rlim_max : 4096;
      setrlimit(RLIMIT_NOFILE, &lim);
    }
    for (int i = 0; i < 2 * kEachKind; ++i) {
      const int fd = boundSocket(i < kEachKind ? SOCK_STREAM : SOCK_DGRAM);
      if (fd < 0) return;
      fds.push_back(fd);
    }
    ok = true;
  }
  ~OpenSockets() {
    for (int fd : fds) close(fd);
  }
};

OpenSockets& sockets() {
  static OpenSockets s;
  return s;
}

void emptyTables() {
  std::lock_guard<std::mutex> lock(processTableMutex);
  tcpProcessIDs.clear();
  udpProcessIDs.clear();
}

void report(benchmark::State& state) {
  state.counters["tcpEntries"] = static_cast<double>(tcpProcessCount());
  state.counters["udpEntries"] = static_cast<double>(udpProcessCount());
}

// Both tables refreshed as a lookup miss pays it in steady state: every port
// has its entry and every socket's owner is known from the refresh before.
void BM_FullRefreshWarm(benchmark::State& state) {
  if (!sockets().ok) return state.SkipWithError("could not open the sockets");
  emptyTables();
  uint64_t now = kT0;
  refreshTcpProcessIDs(now);
  refreshUdpProcessIDs(now);
  for (auto _ : state) {
    ++now;
    refreshTcpProcessIDs(now);
    refreshUdpProcessIDs(now);
  }
  report(state);
}

// The first refresh after start: empty tables, no owner known, every
// socket's owner and every port's identity looked up.
void BM_FullRefreshCold(benchmark::State& state) {
  if (!sockets().ok) return state.SkipWithError("could not open the sockets");
  uint64_t now = kT0;
  for (auto _ : state) {
    state.PauseTiming();
    emptyTables();
    forgetEndpointOwners();
    state.ResumeTiming();
    ++now;
    refreshTcpProcessIDs(now);
    refreshUdpProcessIDs(now);
  }
  report(state);
}

// The usual miss: one UDP socket is new since the last refresh, so its owner
// is searched under /proc and its identity read.
void BM_UdpRefreshOneNewSocket(benchmark::State& state) {
  if (!sockets().ok) return state.SkipWithError("could not open the sockets");
  emptyTables();
  uint64_t now = kT0;
  refreshUdpProcessIDs(now);
  int fresh = -1;
  for (auto _ : state) {
    state.PauseTiming();
    if (fresh >= 0) close(fresh);
    fresh = boundSocket(SOCK_DGRAM);
    state.ResumeTiming();
    refreshUdpProcessIDs(++now);
  }
  if (fresh >= 0) close(fresh);
  report(state);
}

// One probe answer over and over. Argument 0 probes TCP, 1 UDP; `held`
// says whether a socket holds the probed port.
void probeOften(benchmark::State& state, bool held) {
  if (!sockets().ok) return state.SkipWithError("could not open the sockets");
  const bool udp = state.range(0) == 1;
  int fd = sockets().fds[udp ? kEachKind : 0];
  if (!held) fd = boundSocket(udp ? SOCK_DGRAM : SOCK_STREAM);
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  if (!held) close(fd);  // the port is now free
  const SocketEnds ends{INADDR_LOOPBACK, ntohs(a.sin_port), INADDR_LOOPBACK, 40000};
  const SocketPresence expected = held ? SocketPresence::kPresent : SocketPresence::kAbsent;
  for (auto _ : state) {
    if ((udp ? probeUdpSocket(ends) : probeTcpSocket(ends)) != expected) {
      return state.SkipWithError("the probe gave another answer");
    }
  }
}

// The miss of traffic to a port no socket holds (a scan, a closed port):
// one question to the kernel instead of a refresh.
void BM_ProbeMissNoSocket(benchmark::State& state) { probeOften(state, false); }

// The same for a port a socket holds.
void BM_ProbeHit(benchmark::State& state) { probeOften(state, true); }

BENCHMARK(BM_ProbeMissNoSocket)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProbeHit)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FullRefreshWarm)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullRefreshCold)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UdpRefreshOneNewSocket)->Unit(benchmark::kMillisecond);

}  // namespace
