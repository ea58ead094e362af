// Received packets through the NetFlow v5 reader and the collector's
// output: any bytes give either whole records or one reason.
#include <cstdint>
#include <string>

#include "export/collector_output.h"
#include "export/ipfix_decode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  IpfixMessage message;
  std::string error;
  const bool ok = decodeNetflow5Packet(data, size, message, error);
  if (!ok && (error.empty() || !message.records.empty())) __builtin_trap();
  if (ok && kNetflow5HeaderBytes + message.records.size() * kNetflow5RecordBytes != size) __builtin_trap();
  for (const CollectedFlow& r : message.records) {
    if (r.tos > 63 || r.packets > UINT32_MAX || r.octets > UINT32_MAX) __builtin_trap();
  }
  IpfixTemplates templates;
  CollectedText out;
  collectDatagram(data, size, 0x7F000001, 2055, templates, CollectorFormat::csv, out);
  if (!out.lines.empty() && out.lines.back() != '\n') __builtin_trap();
  return 0;
}
