// Datagrams as the collector receives them: decoding, then the lines it
// prints. A datagram that decodes must be exactly what serializing its
// records writes, so decoding accepts only well-formed datagrams.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "export/collector_output.h"
#include "export/datagram.h"
#include "export/serialize.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<FlowRecord> records;
  std::string error;
  const bool ok = decodeDatagram(data, size, records, error);
  if (!ok) {
    if (error.empty() || !records.empty()) __builtin_trap();
    return 0;
  }
  uint8_t again[kMaxDatagramBytes] = {};
  size_t fill = 4;
  for (const FlowRecord& record : records) {
    if (fill + recordLength(record) > kMaxDatagramBytes) __builtin_trap();
    fill += serializeRecord(record, static_cast<int16_t>(fill), again);
  }
  putU16(again, kExportVersion);
  putU16(again + 2, static_cast<uint16_t>(records.size()));
  if (fill != size || memcmp(again, data, size) != 0) __builtin_trap();

  std::string lines;
  for (CollectorFormat format : {CollectorFormat::json, CollectorFormat::csv}) {
    lines.clear();
    if (!datagramToLines(data, size, format, lines, error)) __builtin_trap();
  }
  return 0;
}
