// The collector's decoding speed on one core: records per second from
// received IPFIX messages (the monitor's own), NetFlow v9 and NetFlow v5
// packets to JSON lines written to /dev/null, as vantrel-collect prints
// them.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "export/collector_output.h"
#include "export/datagram_builder.h"
#include "export/sample_records.h"
#include "export/serialize.h"

namespace {

constexpr uint32_t kExporter = 0x0A000001;

// Big-endian bytes, as the packets below are written.
struct Bytes {
  std::vector<uint8_t> b;
  void u8(uint8_t v) { b.push_back(v); }
  void u16(uint16_t v) { u8(uint8_t(v >> 8)), u8(uint8_t(v)); }
  void u32(uint32_t v) { u16(uint16_t(v >> 16)), u16(uint16_t(v)); }
  void u64(uint64_t v) { u32(uint32_t(v >> 32)), u32(uint32_t(v)); }
};

// A packet of each kind, the first carrying the template where there is one.
std::vector<std::vector<uint8_t>> ipfixMessages() {
  std::vector<std::vector<uint8_t>> out;
  DatagramBuilder builder(
      [&](const uint8_t* data, size_t size) {
        out.emplace_back(data, data + size);
        return int64_t(size);
      },
      ExportFormat::ipfix);
  FlowRecord r = sampleTcpRecord();
  for (int i = 0; i < 2000; ++i) {
    r.srcport = uint16_t(40000 + i);
    builder.add(r, 1700000000000);
  }
  builder.sendPending();
  return out;
}

// NetFlow v9: 20 records of 45 bytes in each packet, as a router sends them.
std::vector<std::vector<uint8_t>> netflow9Packets() {
  const uint16_t fields[][2] = {{8, 4}, {12, 4}, {7, 2}, {11, 2}, {4, 1}, {5, 1}, {6, 1},
                                {1, 8}, {2, 4}, {22, 4}, {21, 4}, {10, 2}, {14, 2}, {61, 1}};
  std::vector<std::vector<uint8_t>> out;
  for (int p = 0; p < 100; ++p) {
    Bytes m;
    m.u16(9), m.u16(20), m.u32(100000), m.u32(1700000000), m.u32(uint32_t(p)), m.u32(1);
    if (p == 0) {
      m.u16(0), m.u16(uint16_t(8 + 4 * std::size(fields))), m.u16(300), m.u16(uint16_t(std::size(fields)));
      for (const auto& f : fields) m.u16(f[0]), m.u16(f[1]);
    }
    const size_t setAt = m.b.size();
    m.u16(300), m.u16(0);
    for (int i = 0; i < 20; ++i) {
      m.u32(0x0A000001), m.u32(0xC0000207), m.u16(uint16_t(40000 + i)), m.u16(443), m.u8(6), m.u8(0), m.u8(0x1B);
      m.u64(4200), m.u32(12), m.u32(1000), m.u32(2500), m.u16(1), m.u16(2), m.u8(1);
    }
    while ((m.b.size() - setAt) % 4 != 0) m.u8(0);
    putU16(&m.b[setAt + 2], uint16_t(m.b.size() - setAt));
    out.push_back(m.b);
  }
  return out;
}

// NetFlow v5: 30 records in each packet.
std::vector<std::vector<uint8_t>> netflow5Packets() {
  std::vector<std::vector<uint8_t>> out;
  for (int p = 0; p < 100; ++p) {
    Bytes m;
    m.u16(5), m.u16(30), m.u32(100000), m.u32(1700000000), m.u32(0), m.u32(uint32_t(p) * 30), m.u32(0);
    for (int i = 0; i < 30; ++i) {
      m.u32(0x0A000001), m.u32(0xC0000207), m.u32(0), m.u16(1), m.u16(2), m.u32(12), m.u32(4200), m.u32(1000);
      m.u32(2500), m.u16(uint16_t(40000 + i)), m.u16(443), m.u8(0), m.u8(0x1B), m.u8(6), m.u8(0), m.u32(0);
      m.u32(0);
    }
    out.push_back(m.b);
  }
  return out;
}

void decodeToDevNull(benchmark::State& state, const std::vector<std::vector<uint8_t>>& packets) {
  FILE* devNull = fopen("/dev/null", "w");
  IpfixTemplates templates;
  CollectedText out;
  // The lines of one pass, counted once before the timing: counting them
  // is no part of the collector's work.
  size_t linesPerPass = 0;
  for (const auto& packet : packets) {
    out.lines.clear();
    collectDatagram(packet.data(), packet.size(), kExporter, 2055, templates, CollectorFormat::json, out);
    linesPerPass += size_t(std::count(out.lines.begin(), out.lines.end(), '\n'));
  }
  size_t records = 0;
  for (auto _ : state) {
    for (const auto& packet : packets) {
      out.lines.clear();
      out.reports.clear();
      collectDatagram(packet.data(), packet.size(), kExporter, 2055, templates, CollectorFormat::json, out);
      fwrite(out.lines.data(), 1, out.lines.size(), devNull);
    }
    records += linesPerPass;
  }
  fclose(devNull);
  state.SetItemsProcessed(int64_t(records));
}

void BM_CollectIpfix(benchmark::State& state) { decodeToDevNull(state, ipfixMessages()); }
void BM_CollectNetflow9(benchmark::State& state) { decodeToDevNull(state, netflow9Packets()); }
void BM_CollectNetflow5(benchmark::State& state) { decodeToDevNull(state, netflow5Packets()); }
BENCHMARK(BM_CollectIpfix);
BENCHMARK(BM_CollectNetflow9);
BENCHMARK(BM_CollectNetflow5);

}  // namespace
