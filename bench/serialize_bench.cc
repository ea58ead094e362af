// Export serialisation speed: records per second written by serializeRecord
// into a datagram buffer, and by the datagram builder with its fill rule, in
// both wire formats.
#include <benchmark/benchmark.h>

#include "export/datagram_builder.h"
#include "export/ipfix.h"
#include "export/sample_records.h"
#include "export/serialize.h"

namespace {

// One record rewritten at the first record's place: the cost of one record.
void BM_SerializeRecord(benchmark::State& state, FlowRecord record) {
  uint8_t buffer[kMaxDatagramBytes];
  for (auto _ : state) {
    benchmark::DoNotOptimize(serializeRecord(record, 4, buffer));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(BM_SerializeRecord, tcp_77_bytes, sampleTcpRecord());
BENCHMARK_CAPTURE(BM_SerializeRecord, icmp_48_bytes, recordOfLength(48));
BENCHMARK_CAPTURE(BM_SerializeRecord, longest_813_bytes, recordOfLength(813));

// The same records as IPFIX data records.
void BM_WriteIpfixRecord(benchmark::State& state, FlowRecord record) {
  uint8_t buffer[kMaxDatagramBytes];
  for (auto _ : state) {
    benchmark::DoNotOptimize(writeIpfixRecord(record, buffer + 20));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(BM_WriteIpfixRecord, tcp_85_bytes, sampleTcpRecord());
BENCHMARK_CAPTURE(BM_WriteIpfixRecord, icmp_56_bytes, recordOfLength(48));
BENCHMARK_CAPTURE(BM_WriteIpfixRecord, longest_827_bytes, recordOfLength(813));

// Records through the builder, datagrams handed to a send that does nothing.
void BM_DatagramBuilder(benchmark::State& state) {
  const FlowRecord record = sampleTcpRecord();
  DatagramBuilder builder([](const uint8_t*, size_t size) { return static_cast<int64_t>(size); });
  for (auto _ : state) builder.add(record, 0);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DatagramBuilder);

// The same with IPFIX messages, each with its header written at the send.
void BM_IpfixBuilder(benchmark::State& state) {
  const FlowRecord record = sampleTcpRecord();
  DatagramBuilder builder([](const uint8_t*, size_t size) { return static_cast<int64_t>(size); },
                          ExportFormat::ipfix);
  for (auto _ : state) builder.add(record, 0);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IpfixBuilder);

}  // namespace
