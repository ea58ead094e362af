// Port-to-process table refresh against `ss -tanp` on the same 1,000 open
// TCP sockets of this process (500 connections over loopback, both ends).
// Run it in a network namespace of its own so that only these sockets are in
// the table (bench/compare/run.sh does).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/endpoints.h"
#include "process/process_table.h"

extern char** environ;

namespace {

constexpr int kConnections = 500;
constexpr uint64_t kT0 = 1700000000000;

// 500 loopback connections with both ends open and the listener closed, so
// exactly 1,000 sockets are left. Made once, kept for the whole run.
struct OpenSockets {
  std::vector<int> fds;
  bool ok = false;

  OpenSockets() {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < 4096 && lim.rlim_max >= 4096) {
      lim.rlim_cur = 4096;
      setrlimit(RLIMIT_NOFILE, &lim);
    }
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        listen(listener, kConnections) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      std::perror("listener");
      return;
    }
    for (int i = 0; i < kConnections; ++i) {
      const int c = socket(AF_INET, SOCK_STREAM, 0);
      if (c < 0 || connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::perror("connect");
        return;
      }
      const int a = accept(listener, nullptr, nullptr);
      if (a < 0) {
        std::perror("accept");
        return;
      }
      fds.push_back(c);
      fds.push_back(a);
    }
    close(listener);
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

void emptyTcpTable() {
  std::lock_guard<std::mutex> lock(processTableMutex);
  tcpProcessIDs.clear();
}

void report(benchmark::State& state) {
  state.counters["sockets"] = static_cast<double>(sockets().fds.size());
  state.counters["rows"] = static_cast<double>(readTcpEndpoints().rows.size());
}

// A refresh as a lookup miss pays it in steady state: every port already has
// an entry and every socket's owner is known from the previous refresh.
void BM_RefreshTcpWarm(benchmark::State& state) {
  if (!sockets().ok) return state.SkipWithError("could not open the sockets");
  uint64_t now = kT0;
  refreshTcpProcessIDs(now);
  for (auto _ : state) refreshTcpProcessIDs(++now);
  report(state);
  state.counters["entries"] = static_cast<double>(tcpProcessCount());
}

// The first refresh after start: nothing known, every owner and identity
// looked up afresh.
void BM_RefreshTcpCold(benchmark::State& state) {
  if (!sockets().ok) return state.SkipWithError("could not open the sockets");
  uint64_t now = kT0;
  for (auto _ : state) {
    state.PauseTiming();
    emptyTcpTable();
    forgetEndpointOwners();
    state.ResumeTiming();
    refreshTcpProcessIDs(++now);
  }
  report(state);
  state.counters["entries"] = static_cast<double>(tcpProcessCount());
}

// `ss -tanp`, output thrown away: what a person or a script pays for the same
// table with owning processes.
void BM_SsTanp(benchmark::State& state) {
  if (!sockets().ok) return state.SkipWithError("could not open the sockets");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  char* argv[] = {const_cast<char*>("ss"), const_cast<char*>("-tanp"), nullptr};
  for (auto _ : state) {
    pid_t pid = -1;
    if (posix_spawnp(&pid, "ss", &actions, nullptr, argv, environ) != 0) {
      state.SkipWithError("ss could not be started");
      break;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("ss failed");
      break;
    }
  }
  posix_spawn_file_actions_destroy(&actions);
  report(state);
}

BENCHMARK(BM_RefreshTcpWarm)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RefreshTcpCold)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SsTanp)->Unit(benchmark::kMillisecond);

}  // namespace
