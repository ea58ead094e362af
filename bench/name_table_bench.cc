// What peer names cost: the name table's heap at its bound of 65,536 names
// (names as long as typical content-network names, IPv4 and IPv6 mixed), a
// query and its answer through the table, a look-up, and reading one DNS
// message, one TLS ClientHello and one QUIC client Initial of each version.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <string>
#include <vector>

#include "capture/names/dns_message.h"
#include "capture/names/dns_test_messages.h"
#include "capture/names/name_table.h"
#include "capture/names/quic_initial.h"
#include "capture/names/quic_test_vectors.h"
#include "capture/names/tls_hello.h"

namespace {

constexpr uint64_t kT0 = 1'700'000'000'000;
const uint8_t kHost[16] = {10, 0, 0, 1}, kServer[16] = {10, 0, 0, 53};

size_t heapBytesInUse() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

// A query for `name`, or its answer: `count` addresses from `first`, of `family`.
std::vector<uint8_t> message(uint16_t id, const std::string& name, bool response, uint8_t family, uint32_t first,
                             int count) {
  std::vector<DnsTestAnswer> answers;
  for (int i = 0; i < count; ++i) {
    const uint32_t n = first + static_cast<uint32_t>(i);
    DnsTestAnswer a{family, {}, 3600};
    if (family == 6) a.address = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0};
    a.address.insert(a.address.end(), {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                                       static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
    answers.push_back(a);
  }
  return dnsTestMessage(id, name, family == 4 ? 1 : 28, answers, response);
}

void exchange(uint16_t id, const std::string& name, uint8_t family, uint32_t first, int count, uint64_t now) {
  const std::vector<uint8_t> q = message(id, name, false, family, first, count);
  const std::vector<uint8_t> a = message(id, name, true, family, first, count);
  nameTableDnsPacket(true, 4, kHost, kServer, 40000, 53, 17, q.data(), q.size(), now);
  nameTableDnsPacket(false, 4, kServer, kHost, 53, 40000, 17, a.data(), a.size(), now);
}

// The table filled to its bound: 4 addresses per name of range(0) characters (34: a typical
// content-network name; 250: nearly the longest), every other answer IPv6. Reports the heap it
// holds per name and in all.
void BM_NameTableMemory(benchmark::State& state) {
  const size_t nameLength = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    nameTableClear();
    malloc_trim(0);
    const size_t heap0 = heapBytesInUse();
    for (uint32_t i = 0; i < kNameTableMaxNames / 4; ++i) {
      char first[64];
      std::snprintf(first, sizeof first, "edge-%05u.eu-west.", i);
      std::string name = first;
      while (name.size() + 15 < nameLength) name += name.size() % 50 == 49 ? "." : "x";
      name += "cdn.example.net";
      exchange(static_cast<uint16_t>(i), name, i % 2 ? 6 : 4, 0x64000000 + i * 4, 4, kT0 + i);
    }
    const size_t heap = heapBytesInUse() - heap0;
    state.counters["names"] = static_cast<double>(nameTableCounts().names);
    state.counters["heap_bytes_per_name"] = static_cast<double>(heap) / static_cast<double>(nameTableCounts().names);
    state.counters["heap_MiB"] = static_cast<double>(heap) / (1024.0 * 1024.0);
  }
  nameTableClear();
}
BENCHMARK(BM_NameTableMemory)->Arg(34)->Arg(250)->Iterations(1)->Unit(benchmark::kMillisecond);

// One query and its answer of 4 addresses through a full table (one message each way).
void BM_NameTableExchange(benchmark::State& state) {
  nameTableClear();
  uint32_t i = 0;
  for (auto _ : state) {
    exchange(static_cast<uint16_t>(i), "www.example.com", 4, 0x64000000 + (i % 65536) * 4, 4, kT0 + i);
    ++i;
  }
  state.SetItemsProcessed(state.iterations());
  nameTableClear();
}
BENCHMARK(BM_NameTableExchange);

void BM_NameTableLookup(benchmark::State& state) {
  nameTableClear();
  for (uint32_t i = 0; i < kNameTableMaxNames / 4; ++i) exchange(static_cast<uint16_t>(i), "a.example.com", 4, 0x64000000 + i * 4, 4, kT0);
  uint32_t i = 0;
  for (auto _ : state) {
    const uint32_t n = 0x64000000 + (i++ * 2654435761u) % kNameTableMaxNames;
    const uint8_t address[4] = {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8),
                                static_cast<uint8_t>(n)};
    benchmark::DoNotOptimize(nameTableLookup(4, address, kT0 + 1000));
  }
  nameTableClear();
}
BENCHMARK(BM_NameTableLookup);

// One answer of a CNAME chain to an A and an AAAA record, compressed, with EDNS.
void BM_ParseDnsMessage(benchmark::State& state) {
  const std::vector<uint8_t> m = {
      0x12, 0x34, 0x81, 0x80, 0, 1, 0, 4, 0, 0, 0, 1, 3, 'w', 'w', 'w', 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'c', 'o', 'm', 0,
      0, 1, 0, 1,
      // www.example.com CNAME cdn.example.net (at 33; "example.net" at 37)
      0xc0, 0x0c, 0, 5, 0, 1, 0, 0, 0, 60, 0, 17, 3, 'c', 'd', 'n', 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'n', 'e', 't', 0,
      // cdn.example.net CNAME edge.example.net
      0xc0, 45, 0, 5, 0, 1, 0, 0, 0, 60, 0, 7, 4, 'e', 'd', 'g', 'e', 0xc0, 49,
      // edge.example.net A and AAAA
      0xc0, 74, 0, 1, 0, 1, 0, 0, 0x0e, 0x10, 0, 4, 192, 0, 2, 1,
      0xc0, 74, 0, 28, 0, 1, 0, 0, 0x0e, 0x10, 0, 16, 0x20, 1, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1,
      0, 0, 41, 0x10, 0, 0, 0, 0, 0, 0, 0};
  DnsMessageView view;
  if (!parseDnsMessage(m.data(), m.size(), &view) || view.addressCount != 2) state.SkipWithError("message not read");
  for (auto _ : state) benchmark::DoNotOptimize(parseDnsMessage(m.data(), m.size(), &view));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseDnsMessage);

void BM_TlsServerName(benchmark::State& state) {
  const std::vector<uint8_t> hello = quicTestBytes(kQuicTestClientHello);
  std::vector<uint8_t> record = {22, 3, 1, static_cast<uint8_t>(hello.size() >> 8), static_cast<uint8_t>(hello.size())};
  record.insert(record.end(), hello.begin(), hello.end());
  char name[256];
  size_t length = 0;
  if (!tlsServerName(record.data(), record.size(), name, &length)) state.SkipWithError("hello not read");
  for (auto _ : state) benchmark::DoNotOptimize(tlsServerName(record.data(), record.size(), name, &length));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TlsServerName);

// Key derivation, header protection, AES-GCM of 1,162 bytes and the frame walk: version in range(0).
void BM_QuicServerName(benchmark::State& state) {
  const std::vector<uint8_t> packet = quicTestBytes(state.range(0) == 1 ? kQuicTestV1ClientInitial : kQuicTestV2ClientInitial);
  char name[256];
  size_t length = 0;
  if (!quicServerName(packet.data(), packet.size(), name, &length)) state.SkipWithError("packet not read");
  for (auto _ : state) benchmark::DoNotOptimize(quicServerName(packet.data(), packet.size(), name, &length));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QuicServerName)->Arg(1)->Arg(2);

}  // namespace
