// Received datagrams through the IPFIX reader and the collector's output, as
// vantrel-collect meets them: any bytes, from one exporter, twice, so that
// templates learned from the first reading serve the second.
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
    const bool ok = decodeIpfixMessage(data, size, kExporter, templates, message, error);
    if (!ok && (error.empty() || !message.records.empty() || !message.unknownTemplates.empty())) __builtin_trap();
    if (templates.size() > kMaxIpfixTemplates) __builtin_trap();
    // Each record keeps to its family: IPv4 ones have no IPv6 ends or flow
    // label, IPv6 ones no IPv4 addresses.
    for (const FlowEntry& r : message.records) {
      if (r.ipv6() ? (r.srcip != 0 || r.dstip != 0)
                   : (r.flowlabel != 0 || !r.srcip6.unspecified() || !r.dstip6.unspecified())) {
        __builtin_trap();
      }
    }
    for (const auto& [key, tmpl] : templates) {
      if (key.exporter != kExporter || key.id < kIpfixMinDataSetId || tmpl.fields.empty()) __builtin_trap();
    }
  }
  for (CollectorFormat format : {CollectorFormat::json, CollectorFormat::csv}) {
    CollectedText out;
    collectDatagram(data, size, kExporter, 2055, templates, format, out);
    if (out.lines.empty() == false && out.lines.back() != '\n') __builtin_trap();
    if (out.reports.empty() == false && out.reports.back() != '\n') __builtin_trap();
  }
  return 0;
}
