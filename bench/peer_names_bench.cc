// Decoding cost of peer names: a mix of known TCP and UDP flows in which
// one packet in 50 is a DNS message, one in 500 a TLS ClientHello and one in
// 500 a QUIC client Initial, decoded in blocks as the capture ring hands
// them over, with peerNames on (1) and off (0) in the same run. The
// TLS and QUIC packets come on flows already named after the first round,
// as later handshake packets would.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "capture/decode.h"
#include "capture/flow_names.h"
#include "capture/names/dns_test_messages.h"
#include "capture/names/name_table.h"
#include "capture/names/quic_test_vectors.h"
#include "capture/owner_lookups.h"
#include "flow/flow_table.h"

namespace {

constexpr uint32_t kLocal = 0x0a000001;
constexpr uint64_t kT0 = 1700000000000;

void noOwner(uint64_t, const OwnerQuery&, OwnerRef&) {}

std::vector<uint8_t> ipv4(uint8_t proto, uint32_t src, uint32_t dst, uint16_t sport, uint16_t dport,
                          const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> d = {0x45, 0, 0, 0, 0, 0, 0, 0, 64, proto, 0, 0};
  for (uint32_t a : {src, dst}) {
    for (int i = 0; i < 4; ++i) d.push_back(static_cast<uint8_t>(a >> (24 - 8 * i)));
  }
  d.insert(d.end(), {static_cast<uint8_t>(sport >> 8), static_cast<uint8_t>(sport), static_cast<uint8_t>(dport >> 8),
                     static_cast<uint8_t>(dport)});
  if (proto == 6) {
    d.insert(d.end(), {0, 0, 0, 1, 0, 0, 0, 1, 0x50, 0x18, 0xff, 0xff, 0, 0, 0, 0});
  } else {
    d.insert(d.end(), {static_cast<uint8_t>((8 + payload.size()) >> 8), static_cast<uint8_t>(8 + payload.size()), 0, 0});
  }
  d.insert(d.end(), payload.begin(), payload.end());
  d[2] = static_cast<uint8_t>(d.size() >> 8);
  d[3] = static_cast<uint8_t>(d.size());
  return d;
}

std::vector<uint8_t> helloRecord(const std::string& name) {
  std::vector<uint8_t> sni = {0, 0, 0, static_cast<uint8_t>(name.size() + 5), 0, static_cast<uint8_t>(name.size() + 3), 0,
                              0, static_cast<uint8_t>(name.size())};
  sni.insert(sni.end(), name.begin(), name.end());
  std::vector<uint8_t> body = {3, 3};
  body.resize(34, 0x5a);
  body.insert(body.end(), {0, 0, 2, 0x13, 0x01, 1, 0, 0, static_cast<uint8_t>(sni.size())});
  body.insert(body.end(), sni.begin(), sni.end());
  std::vector<uint8_t> r = {0x16, 3, 1, 0, static_cast<uint8_t>(body.size() + 4), 1, 0, 0, static_cast<uint8_t>(body.size())};
  r.insert(r.end(), body.begin(), body.end());
  return r;
}

// 1000 TCP and 200 UDP flows, with the name-carrying packets among them.
std::vector<std::vector<uint8_t>> mix() {
  std::vector<std::vector<uint8_t>> packets;
  const std::vector<uint8_t> quic = quicTestBytes(kQuicTestV1ClientInitial);
  for (uint32_t i = 0; i < 10000; ++i) {
    const uint32_t remote = 0xc6120000u + i % 1200;
    const auto port = static_cast<uint16_t>(40000 + i % 1200);
    if (i % 50 == 0) {
      packets.push_back(ipv4(17, kLocal, 0x0a000035, static_cast<uint16_t>(30000 + i % 1000), 53, dnsTestMessage(uint16_t(i), "www.example.com", 1, {}, false)));
    } else if (i % 500 == 1) {
      packets.push_back(ipv4(6, kLocal, remote, port, 443, helloRecord("www.example.com")));
    } else if (i % 500 == 2) {
      packets.push_back(ipv4(17, kLocal, remote, port, 443, quic));
    } else {
      packets.push_back(ipv4(i % 1200 < 1000 ? 6 : 17, kLocal, remote, port, 443, {}));
    }
  }
  return packets;
}

void BM_DecodeMixWithPeerNames(benchmark::State& state) {
  resetFlowTables();
  nameTableClear();  // each run starts its clock again
  tcpOwnerLookup = udpOwnerLookup = noOwner;
  setPeerNames(state.range(0) != 0);
  const std::vector<std::vector<uint8_t>> packets = mix();
  constexpr size_t kBlock = 256;
  CapturedPacket block[kBlock];
  uint32_t counted[kBlock];
  size_t next = 0;
  uint64_t n = 0;
  for (auto _ : state) {
    // 10,000 packets a second: 200 DNS queries a second, each forgotten
    // by the name table when it goes unanswered.
    for (CapturedPacket& c : block) {
      c = CapturedPacket{packets[next].data(), packets[next].size(), 0, kT0 + n++ / 10};
      if (++next == packets.size()) next = 0;
    }
    decodePackets(block, kBlock, kLocal, counted);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kBlock));
  setPeerNames(true);
  tcpOwnerLookup = quickTcpOwner;
  udpOwnerLookup = quickUdpOwner;
  resetFlowTables();
}
BENCHMARK(BM_DecodeMixWithPeerNames)->Arg(0)->Arg(1);

}  // namespace

