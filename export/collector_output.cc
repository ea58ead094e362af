#include "export/collector_output.h"

#include <vector>

#include "export/datagram.h"
#include "export/serialize.h"
#include "flow/ip_text.h"

namespace {

// "text" with every double quote doubled.
void appendCsvString(const std::string& text, std::string& out) {
  out += '"';
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

std::string compactJson(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, value);
}

}  // namespace

std::string collectorHeader(CollectorFormat format) {
  if (format != CollectorFormat::csv) return "";
  std::string header;
  for (const char* column : kCollectorColumns) {
    if (!header.empty()) header += ',';
    header += column;
  }
  return header + "\n";
}

std::string addressText(const FlowEntry& record, bool source) {
  if (record.ipv6()) return ip6Text(source ? record.srcip6 : record.dstip6);
  return ipToDotted(source ? record.srcip : record.dstip);
}

Json::Value flowRecordJson(const FlowEntry& record, const RecordSource& from) {
  Json::Value flow(Json::objectValue);
  flow["inif"] = record.inif;
  flow["outif"] = record.outif;
  flow["firstseen"] = Json::UInt64(record.firstseen);
  flow["lastseen"] = Json::UInt64(record.lastseen);
  flow["srcip"] = addressText(record, true);
  flow["dstip"] = addressText(record, false);
  flow["srcport"] = record.srcport;
  flow["dstport"] = record.dstport;
  flow["pkts"] = static_cast<uint32_t>(record.pkts);
  flow["bytes"] = static_cast<uint32_t>(record.bytes);
  flow["flags"] = record.flags;
  flow["tos"] = record.tos;
  flow["proto"] = record.proto;
  flow["processname"] = record.processname();
  flow["user"] = record.user();
  flow["domain"] = record.domain();
  flow["replydelay"] = record.replydelay;
  flow["exporter"] = ipToDotted(from.exporter);
  flow["obsdomain"] = from.obsdomain;
  flow["peername"] = record.peername();
  flow["namesource"] = record.namesource();
  return flow;
}

void appendFlowLine(const FlowEntry& record, CollectorFormat format, std::string& out, const RecordSource& from) {
  if (format == CollectorFormat::json) {
    out += compactJson(flowRecordJson(record, from));
    out += '\n';
    return;
  }
  using std::to_string;
  out += to_string(record.inif) + ',' + to_string(record.outif) + ',' + to_string(record.firstseen) + ',' +
         to_string(record.lastseen) + ',' + addressText(record, true) + ',' + addressText(record, false) + ',' +
         to_string(record.srcport) + ',' + to_string(record.dstport) + ',' +
         to_string(static_cast<uint32_t>(record.pkts)) + ',' + to_string(static_cast<uint32_t>(record.bytes)) +
         ',' + to_string(record.flags) + ',' + to_string(record.tos) + ',' + to_string(record.proto) + ',';
  appendCsvString(record.processname(), out);
  out += ',';
  appendCsvString(record.user(), out);
  out += ',';
  appendCsvString(record.domain(), out);
  out += ',' + to_string(record.replydelay) + ',' + ipToDotted(from.exporter) + ',' + to_string(from.obsdomain) + ',';
  appendCsvString(record.peername(), out);
  out += ',';
  appendCsvString(record.namesource(), out);
  out += '\n';
}

bool datagramToLines(const uint8_t* data, size_t size, CollectorFormat format, std::string& out,
                     std::string& error, const RecordSource& from) {
  std::vector<FlowRecord> records;
  if (!decodeDatagram(data, size, records, error)) return false;
  for (const FlowRecord& record : records) appendFlowLine(record, format, out, from);
  return true;
}

std::string malformedDatagramReport(uint32_t fromAddress, uint16_t fromPort, const std::string& reason) {
  return "vantrel-collect: malformed datagram from " + ipToDotted(fromAddress) + ":" + std::to_string(fromPort) +
         ": " + reason + "\n";
}

void collectFlows(const uint8_t* data, size_t size, uint32_t fromAddress, uint16_t fromPort,
                  IpfixTemplates& templates, CollectedFlows& out) {
  std::string error;
  out.records.clear();
  out.obsdomain = 0;
  const uint16_t version = size >= 2 ? getU16(data) : 0;
  if (version != kIpfixVersion) {
    if (size >= 2 && version != kExportVersion) {
      error = "version " + std::to_string(version) + ", expected 2 (native) or 10 (IPFIX)";
    } else if (std::vector<FlowRecord> native; decodeDatagram(data, size, native, error)) {
      out.records.assign(native.begin(), native.end());
      return;
    }
    out.reports += malformedDatagramReport(fromAddress, fromPort, error);
    return;
  }
  IpfixMessage message;
  if (!decodeIpfixMessage(data, size, fromAddress, templates, message, error)) {
    out.reports += malformedDatagramReport(fromAddress, fromPort, error);
    return;
  }
  out.records = std::move(message.records);
  out.obsdomain = message.domain;
  if (!message.refusedTemplates.empty()) {
    std::string ids;
    for (uint16_t id : message.refusedTemplates) ids += (ids.empty() ? "" : ", ") + std::to_string(id);
    out.reports += "vantrel-collect: IPFIX message from " + ipToDotted(fromAddress) + ":" + std::to_string(fromPort) +
                   ": template " + ids + " (observation domain " + std::to_string(message.domain) +
                   ") has no flow field, not learned\n";
  }
  if (!message.unknownTemplates.empty()) {
    std::string ids;
    for (uint16_t id : message.unknownTemplates) ids += (ids.empty() ? "" : ", ") + std::to_string(id);
    out.reports += "vantrel-collect: IPFIX message from " + ipToDotted(fromAddress) + ":" + std::to_string(fromPort) +
                   ": skipped data sets of template " + ids + " (observation domain " +
                   std::to_string(message.domain) + "), not seen yet\n";
  }
}

void collectDatagram(const uint8_t* data, size_t size, uint32_t fromAddress, uint16_t fromPort,
                     IpfixTemplates& templates, CollectorFormat format, CollectedText& out) {
  CollectedFlows flows;
  collectFlows(data, size, fromAddress, fromPort, templates, flows);
  for (const FlowEntry& record : flows.records) {
    appendFlowLine(record, format, out.lines, {fromAddress, flows.obsdomain});
  }
  out.reports += flows.reports;
}
