// Packet decoding speed: prepared IPv4 datagrams and IPv6 packets fed
// straight into decodePacket, and sweeps over a full flow table. Owners come
// from a prepared entry, as from a warm port table.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "capture/decode.h"
#include "flow/flow_table.h"

namespace {

constexpr uint32_t kLocal = 0x0a000001;  // 10.0.0.1
constexpr uint64_t kT0 = 1700000000000;

OwnerRef preparedOwner = makeOwner("browser.exe", "alice", "HOST");
void warmLookup(uint64_t, const OwnerQuery&, OwnerRef& owner) { owner = preparedOwner; }
void warmLookup6(uint64_t, const OwnerQuery6&, OwnerRef& owner) { owner = preparedOwner; }

void resetTables() {
  std::lock_guard<std::mutex> lock(flowTableMutex);
  FlowCache().swap(flowCache);
  FlowCache6().swap(flowCache6);
  toExport.clear();
  lastSweepTime = 0;
}

struct Tables {
  Tables() {
    resetTables();
    tcpOwnerLookup = warmLookup;
    udpOwnerLookup = warmLookup;
    tcpOwnerLookup6 = warmLookup6;
    udpOwnerLookup6 = warmLookup6;
  }
  ~Tables() { resetTables(); }
};

void putU16(uint8_t* p, uint16_t v) { p[0] = v >> 8, p[1] = v & 0xff; }
void putU32(uint8_t* p, uint32_t v) { putU16(p, v >> 16), putU16(p + 2, v & 0xffff); }

// A 40-byte TCP datagram (20 bytes IPv4, 20 bytes TCP) with an ACK.
struct TcpDatagram {
  uint8_t bytes[40] = {};
  TcpDatagram(uint32_t src, uint32_t dst, uint16_t sport, uint16_t dport, uint16_t totalLength = 1500) {
    bytes[0] = 0x45;
    putU16(bytes + 2, totalLength);
    bytes[9] = 6;
    putU32(bytes + 12, src);
    putU32(bytes + 16, dst);
    putU16(bytes + 20, sport);
    putU16(bytes + 22, dport);
    bytes[32] = 0x50;
    bytes[33] = 0x10;
  }
};

// Peer i of many: spread over 10.64.0.0/10 with its own remote port.
uint32_t peerAddress(uint32_t i) { return 0x0a400000 + (i * 2654435761u >> 10); }

// The IPv6 counterparts: 2001:db8::1 and peers in 2001:db8:40::/48, each a
// privacy-style address of its own.
const uint8_t kLocal6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
void putPeer6(uint8_t* p, uint32_t i) {
  const uint8_t prefix[6] = {0x20, 0x01, 0x0d, 0xb8, 0x00, 0x40};
  memcpy(p, prefix, 6);
  putU16(p + 6, 0);
  putU32(p + 8, i * 2654435761u);
  putU32(p + 12, peerAddress(i));
}

// A 60-byte TCP packet (40 bytes IPv6, 20 bytes TCP) with an ACK.
struct TcpPacket6 {
  uint8_t bytes[60] = {};
  TcpPacket6(uint32_t peer, bool outbound, uint16_t sport, uint16_t dport, uint16_t payloadLength = 1440) {
    bytes[0] = 0x60;
    putU16(bytes + 4, payloadLength);
    bytes[6] = 6;
    bytes[7] = 64;
    uint8_t peerAddress6[16];
    putPeer6(peerAddress6, peer);
    memcpy(bytes + 8, outbound ? kLocal6 : peerAddress6, 16);
    memcpy(bytes + 24, outbound ? peerAddress6 : kLocal6, 16);
    putU16(bytes + 40, sport);
    putU16(bytes + 42, dport);
    bytes[52] = 0x50;
    bytes[53] = 0x10;
  }
};

// One packet of each of `flows` TCP flows, half outbound, half inbound.
std::vector<TcpDatagram> knownFlows(uint32_t flows) {
  std::vector<TcpDatagram> datagrams;
  for (uint32_t i = 0; i < flows; ++i) {
    const uint32_t peer = peerAddress(i);
    const uint16_t localPort = static_cast<uint16_t>(32768 + i % 28000);
    if (i % 2 == 0) datagrams.emplace_back(kLocal, peer, localPort, 443);
    else datagrams.emplace_back(peer, kLocal, 443, localPort);
  }
  return datagrams;
}

// The same over IPv6.
std::vector<TcpPacket6> knownFlows6(uint32_t flows) {
  std::vector<TcpPacket6> packets;
  for (uint32_t i = 0; i < flows; ++i) {
    const uint16_t localPort = static_cast<uint16_t>(32768 + i % 28000);
    if (i % 2 == 0) packets.emplace_back(i, true, localPort, 443);
    else packets.emplace_back(i, false, 443, localPort);
  }
  return packets;
}

// Opens a flow with each of `datagrams`, then decodes them round robin, one
// at a time. The clock advances 1 ms every 10 000 packets (10 M packets/s).
template <typename Datagram>
void decodeOneByOne(benchmark::State& state, const std::vector<Datagram>& datagrams) {
  for (const Datagram& d : datagrams) decodePacket(d.bytes, sizeof d.bytes, kLocal, kT0);
  uint64_t n = 0;
  size_t next = 0;
  for (auto _ : state) {
    decodePacket(datagrams[next].bytes, sizeof datagrams[next].bytes, kLocal, kT0 + n / 10000);
    if (++next == datagrams.size()) next = 0;
    ++n;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["flows"] = static_cast<double>(flowCacheSize());
}

// Packets of `flows` known TCP flows (half outbound, half inbound).
void BM_DecodeKnownTcpFlows(benchmark::State& state) {
  Tables tables;
  decodeOneByOne(state, knownFlows(static_cast<uint32_t>(state.range(0))));
}
BENCHMARK(BM_DecodeKnownTcpFlows)->Arg(1)->Arg(1000)->Arg(100000)->Arg(900000)->Arg(1000000);

// Opens a flow with each of `opening`, then hands them over round robin as
// the capture ring does, a block of 256 per decodePackets call. With
// `shuffled` they come in another order than they were opened in, so the
// records are met all over the pool, not one after the other.
template <typename Packet>
void decodeInBlocks(benchmark::State& state, const std::vector<Packet>& opening, bool shuffled = false) {
  for (const Packet& p : opening) decodePacket(p.bytes, sizeof p.bytes, kLocal, kT0);
  std::vector<Packet> packets = opening;
  if (shuffled) std::shuffle(packets.begin(), packets.end(), std::mt19937(7));
  constexpr size_t kBlock = 256;
  CapturedPacket block[kBlock];
  uint32_t counted[kBlock];
  uint64_t n = 0;
  size_t next = 0;
  for (auto _ : state) {
    for (CapturedPacket& c : block) {
      c = CapturedPacket{packets[next].bytes, sizeof packets[next].bytes, 0, kT0 + n / 10000};
      if (++next == packets.size()) next = 0;
      ++n;
    }
    decodePackets(block, kBlock, kLocal, counted);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kBlock));
  state.counters["flows"] = static_cast<double>(flowCacheSize());
}

// The same packets handed over a block at a time.
void BM_DecodeKnownTcpFlowsBatched(benchmark::State& state) {
  Tables tables;
  const uint32_t flows = static_cast<uint32_t>(state.range(0));
  const std::vector<TcpDatagram> datagrams = knownFlows(flows);
  decodeInBlocks(state, datagrams);
}
BENCHMARK(BM_DecodeKnownTcpFlowsBatched)->Arg(1000)->Arg(100000)->Arg(900000)->Arg(1000000);

// The same in an order of their own.
void BM_DecodeKnownTcpFlowsShuffled(benchmark::State& state) {
  Tables tables;
  decodeInBlocks(state, knownFlows(static_cast<uint32_t>(state.range(0))), true);
}
BENCHMARK(BM_DecodeKnownTcpFlowsShuffled)->Arg(100000)->Arg(1000000);

// The same over IPv6: packets of `flows` known TCP flows, half each way.
void BM_DecodeKnownTcpFlows6(benchmark::State& state) {
  Tables tables;
  const Ip6Address local = Ip6Address::fromBytes(kLocal6);
  setLocalAddresses6(&local, 1);
  decodeOneByOne(state, knownFlows6(static_cast<uint32_t>(state.range(0))));
  setLocalAddresses6(nullptr, 0);
}
BENCHMARK(BM_DecodeKnownTcpFlows6)->Arg(1000)->Arg(100000)->Arg(900000);

// The IPv6 packets handed over a block at a time, as the IPv4 ones above.
void BM_DecodeKnownTcpFlows6Batched(benchmark::State& state) {
  Tables tables;
  const Ip6Address local = Ip6Address::fromBytes(kLocal6);
  setLocalAddresses6(&local, 1);
  const uint32_t flows = static_cast<uint32_t>(state.range(0));
  const std::vector<TcpPacket6> packets = knownFlows6(flows);
  decodeInBlocks(state, packets);
  setLocalAddresses6(nullptr, 0);
}
BENCHMARK(BM_DecodeKnownTcpFlows6Batched)->Arg(1000)->Arg(100000)->Arg(900000);

// First packets of new TCP flows, each with an owner lookup answered from a
// prepared entry. Every `window` flows the table is emptied (untimed): with
// `keepRoom` the table has room for the window from the start and is
// emptied by clear(), which keeps that room, as the long-lived table of a
// running capture does; otherwise it starts empty each time, so its growth
// is timed too. The clock advances 1 ms every 1000 packets (1 M flows/s).
void decodeNewTcpFlows(benchmark::State& state, bool keepRoom) {
  Tables tables;
  const uint32_t window = static_cast<uint32_t>(state.range(0));
  if (keepRoom) {
    std::lock_guard<std::mutex> lock(flowTableMutex);
    flowCache.reserve(window);
  }
  TcpDatagram d(kLocal, 0, 0, 443, 60);
  d.bytes[33] = 0x02;
  uint64_t n = 0;
  uint32_t inWindow = 0;
  for (auto _ : state) {
    if (inWindow == window) {
      state.PauseTiming();
      if (keepRoom) {
        std::lock_guard<std::mutex> lock(flowTableMutex);
        flowCache.clear();
        toExport.clear();
      } else {
        resetTables();
      }
      inWindow = 0;
      state.ResumeTiming();
    }
    const uint32_t i = static_cast<uint32_t>(n);
    putU32(d.bytes + 16, peerAddress(i >> 4));
    putU16(d.bytes + 20, static_cast<uint16_t>(32768 + (i & 0x3fff)));
    decodePacket(d.bytes, sizeof d.bytes, kLocal, kT0 + n / 1000);
    ++n;
    ++inWindow;
  }
  state.SetItemsProcessed(state.iterations());
}
void BM_DecodeNewTcpFlows(benchmark::State& state) { decodeNewTcpFlows(state, true); }
void BM_DecodeNewTcpFlowsGrowing(benchmark::State& state) { decodeNewTcpFlows(state, false); }
BENCHMARK(BM_DecodeNewTcpFlows)->Arg(100000)->Arg(900000);
BENCHMARK(BM_DecodeNewTcpFlowsGrowing)->Arg(100000)->Arg(900000);

// A 40-byte IPv4 datagram of protocol `proto` claiming 1500 bytes: UDP with
// its ports, ICMP an echo request (type 8, code 0), any other protocol a
// header of its own that the decoder does not read (GRE's, for instance).
struct ProtoDatagram {
  uint8_t bytes[40] = {};
  ProtoDatagram(uint8_t proto, uint32_t src, uint32_t dst, uint16_t sport, uint16_t dport) {
    bytes[0] = 0x45;
    putU16(bytes + 2, 1500);
    bytes[9] = proto;
    putU32(bytes + 12, src);
    putU32(bytes + 16, dst);
    if (proto == 17) {
      putU16(bytes + 20, sport);
      putU16(bytes + 22, dport);
      putU16(bytes + 24, 1480);
    } else if (proto == 1) {
      bytes[20] = 8;
      putU16(bytes + 24, sport);
    } else {
      putU16(bytes + 22, 0x0800);
    }
  }
};

// One datagram of each of `flows` flows of protocol `proto`, each with a
// peer of its own, half outbound, half inbound.
std::vector<ProtoDatagram> knownFlowsOf(uint8_t proto, uint32_t flows) {
  std::vector<ProtoDatagram> datagrams;
  for (uint32_t i = 0; i < flows; ++i) {
    const uint32_t peer = peerAddress(i);
    const uint16_t localPort = static_cast<uint16_t>(32768 + i % 28000);
    if (i % 2 == 0) datagrams.emplace_back(proto, kLocal, peer, localPort, 53);
    else datagrams.emplace_back(proto, peer, kLocal, 53, localPort);
  }
  return datagrams;
}

// Known flows of one protocol (the first argument: 17 UDP, 1 ICMP, 47 GRE,
// 50 ESP) over `flows` flows (the second), one packet at a time and handed
// over in blocks: ICMP and port-less protocols against UDP.
void BM_DecodeKnownFlowsOf(benchmark::State& state) {
  Tables tables;
  decodeOneByOne(state, knownFlowsOf(static_cast<uint8_t>(state.range(0)), static_cast<uint32_t>(state.range(1))));
}
void BM_DecodeKnownFlowsOfBatched(benchmark::State& state) {
  Tables tables;
  decodeInBlocks(state, knownFlowsOf(static_cast<uint8_t>(state.range(0)), static_cast<uint32_t>(state.range(1))));
}
void protocolsAndFlows(benchmark::internal::Benchmark* b) {
  for (int flows : {1000, 100000}) {
    for (int proto : {17, 1, 47, 50}) b->Args({proto, flows});
  }
}
BENCHMARK(BM_DecodeKnownFlowsOf)->Apply(protocolsAndFlows);
BENCHMARK(BM_DecodeKnownFlowsOfBatched)->Apply(protocolsAndFlows);

// Inbound packets from one server port to `flows` local ports: every key
// has the same FlowKeyHash value (the destination port does not enter it);
// the map's own slot choice must keep them apart.
void BM_DecodeKnownFlowsSameHash(benchmark::State& state) {
  Tables tables;
  const uint32_t flows = static_cast<uint32_t>(state.range(0));
  std::vector<TcpDatagram> datagrams;
  for (uint32_t i = 0; i < flows; ++i) datagrams.emplace_back(0x0a400001, kLocal, 443, 32768 + i);
  for (const TcpDatagram& d : datagrams) decodePacket(d.bytes, sizeof d.bytes, kLocal, kT0);
  size_t next = 0;
  for (auto _ : state) {
    decodePacket(datagrams[next].bytes, sizeof datagrams[next].bytes, kLocal, kT0);
    if (++next == datagrams.size()) next = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeKnownFlowsSameHash)->Arg(16)->Arg(1000);

// Fills flowCache with `count` records whose lastseen is `lastseen`.
void fillFlows(uint32_t count, uint64_t lastseen) {
  std::lock_guard<std::mutex> lock(flowTableMutex);
  flowCache.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t peer = peerAddress(i >> 4);
    const uint16_t port = static_cast<uint16_t>(32768 + (i & 0x3fff));
    flowCache.insert(makeFlowRecord(0, 1, 6, kLocal, peer, port, 443, 1500, 0x12, 0, lastseen, preparedOwner));
  }
}

// A sweep over `count` flows that have all finished: every record moves to
// toExport.
void BM_SweepAllFinished(benchmark::State& state) {
  Tables tables;
  const uint32_t count = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    resetTables();
    fillFlows(count, kT0);
    state.ResumeTiming();
    std::lock_guard<std::mutex> lock(flowTableMutex);
    benchmark::DoNotOptimize(moveFinishedFlows(kT0 + 60001));
  }
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_SweepAllFinished)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(5);

// A sweep over `count` busy flows: the walk alone, what a full table costs
// once a second.
void BM_SweepNoneFinished(benchmark::State& state) {
  Tables tables;
  const uint32_t count = static_cast<uint32_t>(state.range(0));
  fillFlows(count, kT0);
  for (auto _ : state) {
    std::lock_guard<std::mutex> lock(flowTableMutex);
    benchmark::DoNotOptimize(moveFinishedFlows(kT0 + 1000));
  }
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_SweepNoneFinished)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace
