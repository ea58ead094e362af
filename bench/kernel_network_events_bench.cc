// What decoding one kernel network event costs on Windows' trace thread
// (a busy machine reports every TCP send and receive): an IPv4 TCP send
// and an IPv6 UDP receive, each decoded into owner events.
#include <benchmark/benchmark.h>

#include <vector>

#include "platform/kernel_network_events.h"

namespace {

std::vector<uint8_t> payload(bool six) {
  std::vector<uint8_t> p = {0x10, 0x27, 0, 0, 0xb4, 0x05, 0, 0};  // PID 10000, size 1460
  const size_t address = six ? 16 : 4;
  for (int end = 0; end < 2; ++end) {
    for (size_t i = 0; i < address; ++i) p.push_back(static_cast<uint8_t>(six && i == 0 ? 0x20 : 10 + end + i));
  }
  p.insert(p.end(), {0x01, 0xbb, 0x9c, 0x40});  // dport 443, sport 40000
  p.resize(p.size() + 20, 0x5a);                 // the event's own fields
  return p;
}

void BM_KernelNetworkEventDecoded(benchmark::State& state) {
  const bool six = state.range(0) != 0;
  const uint16_t id = six ? kUdpReceive6 : kTcpSend4;
  const std::vector<uint8_t> bytes = payload(six);
  OwnerEvent out[2];
  for (auto _ : state) {
    benchmark::DoNotOptimize(decodeKernelNetworkEvent(id, bytes.data(), bytes.size(), out));
    benchmark::ClobberMemory();
  }
  state.SetLabel(six ? "UDP receive, IPv6" : "TCP send, IPv4");
}
BENCHMARK(BM_KernelNetworkEventDecoded)->Arg(0)->Arg(1);

}  // namespace
