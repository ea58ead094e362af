// Received packets through the NetFlow v9 reader, as vantrel-collect meets
// them: any bytes, from one exporter, twice, so that templates learned from
// the first reading serve the second; then through the collector's output.
#include <cstdint>
#include <string>

#include "export/collector_output.h"
#include "export/ipfix_decode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr uint32_t kExporter = 0x7F000001;
  IpfixTemplates templates;
  for (int pass = 0; pass < 2; ++pass) {
    IpfixMessage message;
    std::string error;
    const bool ok = decodeNetflow9Packet(data, size, kExporter, templates, message, error);
    if (!ok && (error.empty() || !message.records.empty())) __builtin_trap();
    if (templates.size() > kMaxIpfixTemplates) __builtin_trap();
    for (const auto& [key, tmpl] : templates) {
      if (key.version != kNetflow9Version || key.id < kIpfixMinDataSetId || tmpl.fields.empty() ||
          tmpl.fields.size() > kMaxIpfixTemplateFields) {
        __builtin_trap();
      }
    }
    for (const CollectedFlow& r : message.records) {
      if (r.processname().size() > kMaxCollectedStringBytes) __builtin_trap();
    }
  }
  CollectedText out;
  collectDatagram(data, size, kExporter, 2055, templates, CollectorFormat::json, out);
  if (!out.lines.empty() && out.lines.back() != '\n') __builtin_trap();
  return 0;
}
