#include "export/collector_output.h"

#include <array>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string_view>
#include <vector>

#include "export/datagram.h"
#include "export/serialize.h"
#include "flow/ip_text.h"
#include "runtime/safe_text.h"

namespace {

constexpr size_t kColumnCount = std::size(kCollectorColumns);

// The members of a flow object, in the order of kCollectorColumns.
using JsonMembers = std::array<Json::Value*, kColumnCount>;

JsonMembers membersOf(Json::Value& object) {
  JsonMembers members;
  for (size_t i = 0; i < kColumnCount; ++i) members[i] = &object[kCollectorColumns[i]];
  return members;
}

std::string addressText(const FlowEntry& record, bool source) {
  if (record.ipv6()) return ip6Text(source ? record.srcip6 : record.dstip6);
  return ipToDotted(source ? record.srcip : record.dstip);
}

void fillFlowJson(const CollectedFlow& record, const RecordSource& from, const JsonMembers& m) {
  size_t i = 0;
  *m[i++] = record.inif;
  *m[i++] = record.outif;
  *m[i++] = Json::UInt64(record.firstseen);
  *m[i++] = Json::UInt64(record.lastseen);
  *m[i++] = addressText(record, true);
  *m[i++] = addressText(record, false);
  *m[i++] = record.srcport;
  *m[i++] = record.dstport;
  *m[i++] = Json::UInt64(record.packets);
  *m[i++] = Json::UInt64(record.octets);
  *m[i++] = record.flags;
  *m[i++] = record.tos;
  *m[i++] = record.proto;
  *m[i++] = validUtf8(record.processname());
  *m[i++] = validUtf8(record.user());
  *m[i++] = validUtf8(record.domain());
  *m[i++] = record.replydelay;
  *m[i++] = ipToDotted(from.exporter);
  *m[i++] = from.obsdomain;
  *m[i++] = validUtf8(record.peername());
  *m[i++] = record.namesource();
  *m[i++] = validUtf8(record.service());
  *m[i++] = validUtf8(record.container());
}

// A stream buffer that appends straight to a string: the writer's text
// lands at the end of the output with no buffer of its own to grow, copy
// and empty for every line.
class AppendToString : public std::streambuf {
 public:
  void target(std::string* out) { out_ = out; }

 protected:
  std::streamsize xsputn(const char* text, std::streamsize n) override {
    out_->append(text, size_t(n));
    return n;
  }
  int_type overflow(int_type c) override {
    if (!traits_type::eq_int_type(c, traits_type::eof())) out_->push_back(traits_type::to_char_type(c));
    return traits_type::not_eof(c);
  }

 private:
  std::string* out_ = nullptr;
};

// One flow object per thread, kept with its members in place, and one
// compact writer: a line changes only the members whose values differ from
// the record before (most repeat: exporter, owner, protocol, ...), so an
// unchanged one costs a comparison, and is written straight into the
// output.
struct JsonLineWriter {
  Json::Value object{Json::objectValue};
  JsonMembers members = membersOf(object);
  std::unique_ptr<Json::StreamWriter> writer;
  AppendToString buffer;
  std::ostream stream{&buffer};
  // What each member was last set from, valid once `filled`: its number
  // (an IPv4 address column: the address with bit 32 set, else 0) or its
  // text.
  std::array<uint64_t, kColumnCount> numbers{};
  std::array<std::string, kColumnCount> texts;
  bool filled = false;

  JsonLineWriter() {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["commentStyle"] = "None";  // the object has none: no looking for them
    writer.reset(builder.newStreamWriter());
  }
  void number(size_t column, uint64_t value) {
    if (filled && numbers[column] == value) return;
    numbers[column] = value;
    *members[column] = Json::UInt64(value);
  }
  // Made valid UTF-8 only when it changes.
  void text(size_t column, std::string_view value) {
    if (filled && numbers[column] == 0 && texts[column] == value) return;
    numbers[column] = 0;
    texts[column].assign(value);
    *members[column] = validUtf8(texts[column]);
  }
  // Dotted only when it changes.
  void ipv4(size_t column, uint32_t address) {
    const uint64_t key = uint64_t(1) << 32 | address;
    if (filled && numbers[column] == key) return;
    numbers[column] = key;
    *members[column] = ipToDotted(address);
  }
  void address(size_t column, const CollectedFlow& record, bool source) {
    if (!record.ipv6()) return ipv4(column, source ? record.srcip : record.dstip);
    text(column, addressText(record, source));
  }
  void fill(const CollectedFlow& record, const RecordSource& from) {
    size_t i = 0;
    number(i++, record.inif);
    number(i++, record.outif);
    number(i++, record.firstseen);
    number(i++, record.lastseen);
    address(i++, record, true);
    address(i++, record, false);
    number(i++, record.srcport);
    number(i++, record.dstport);
    number(i++, record.packets);
    number(i++, record.octets);
    number(i++, record.flags);
    number(i++, record.tos);
    number(i++, record.proto);
    text(i++, record.processname());
    text(i++, record.user());
    text(i++, record.domain());
    number(i++, record.replydelay);
    ipv4(i++, from.exporter);
    number(i++, from.obsdomain);
    text(i++, record.peername());
    text(i++, record.namesource());
    text(i++, record.service());
    text(i++, record.container());
    filled = true;
  }
  void append(const CollectedFlow& record, const RecordSource& from, std::string& out) {
    fill(record, from);
    buffer.target(&out);
    writer->write(object, &stream);
    buffer.target(nullptr);
  }
};

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

Json::Value flowRecordJson(const CollectedFlow& record, const RecordSource& from) {
  Json::Value flow(Json::objectValue);
  fillFlowJson(record, from, membersOf(flow));
  return flow;
}

void appendFlowLine(const CollectedFlow& record, CollectorFormat format, std::string& out,
                    const RecordSource& from) {
  if (format == CollectorFormat::json) {
    static thread_local JsonLineWriter json;
    json.append(record, from, out);
    out += '\n';
    return;
  }
  using std::to_string;
  out += to_string(record.inif) + ',' + to_string(record.outif) + ',' + to_string(record.firstseen) + ',' +
         to_string(record.lastseen) + ',' + addressText(record, true) + ',' + addressText(record, false) + ',' +
         to_string(record.srcport) + ',' + to_string(record.dstport) + ',' +
         to_string(record.packets) + ',' + to_string(record.octets) +
         ',' + to_string(record.flags) + ',' + to_string(record.tos) + ',' + to_string(record.proto) + ',';
  appendCsvCell(record.processname(), out);
  out += ',';
  appendCsvCell(record.user(), out);
  out += ',';
  appendCsvCell(record.domain(), out);
  out += ',' + to_string(record.replydelay) + ',' + ipToDotted(from.exporter) + ',' + to_string(from.obsdomain) + ',';
  appendCsvCell(record.peername(), out);
  out += ',';
  appendCsvCell(record.namesource(), out);
  out += ',';
  appendCsvCell(record.service(), out);
  out += ',';
  appendCsvCell(record.container(), out);
  out += '\n';
}

bool datagramToLines(const uint8_t* data, size_t size, CollectorFormat format, std::string& out,
                     std::string& error, const RecordSource& from) {
  std::vector<FlowRecord> records;
  if (!decodeDatagram(data, size, records, error)) return false;
  for (const FlowRecord& record : records) appendFlowLine(CollectedFlow(record), format, out, from);
  return true;
}

std::string malformedDatagramReport(uint32_t fromAddress, uint16_t fromPort, const std::string& reason) {
  return "vantrel-collect: malformed datagram from " + ipToDotted(fromAddress) + ":" + std::to_string(fromPort) +
         ": " + reason + "\n";
}

void collectFlows(const uint8_t* data, size_t size, uint32_t fromAddress, uint16_t fromPort,
                  IpfixTemplates& templates, CollectedFlows& out, uint64_t receivedMillis) {
  std::string error;
  out.records.clear();
  out.obsdomain = 0;
  const uint16_t version = size >= 2 ? getU16(data) : 0;
  if (version != kIpfixVersion && version != kNetflow9Version && version != kNetflow5Version) {
    if (size >= 2 && version != kExportVersion) {
      error = "version " + std::to_string(version) + ", expected 2 (native), 5, 9 (NetFlow) or 10 (IPFIX)";
    } else if (std::vector<FlowRecord> native; decodeDatagram(data, size, native, error)) {
      for (const FlowRecord& record : native) out.records.emplace_back(record);
      return;
    }
    out.reports.push_back({"malformed", malformedDatagramReport(fromAddress, fromPort, error)});
    return;
  }
  IpfixMessage& message = out.message;
  const bool decoded = version == kIpfixVersion
                           ? decodeIpfixMessage(data, size, fromAddress, templates, message, error, receivedMillis)
                       : version == kNetflow9Version ? decodeNetflow9Packet(data, size, fromAddress, templates, message, error)
                                                     : decodeNetflow5Packet(data, size, message, error);
  if (!decoded) {
    out.reports.push_back({"malformed", malformedDatagramReport(fromAddress, fromPort, error)});
    return;
  }
  out.records.swap(message.records);
  message.records.clear();
  out.obsdomain = message.domain;
  const std::string kind = version == kIpfixVersion ? "IPFIX message" : "NetFlow v9 packet";
  if (message.timesGuessed && templates.timesGuessedTold.insert(fromAddress).second) {
    out.reports.push_back({"times", "vantrel-collect: IPFIX from " + ipToDotted(fromAddress) +
                                        " gives flow times relative to its start without saying when it "
                                        "started (systemInitTimeMilliseconds): their ends are taken as the "
                                        "export time\n"});
  }
  if (!message.refusedTemplates.empty()) {
    std::string ids;
    for (uint16_t id : message.refusedTemplates) ids += (ids.empty() ? "" : ", ") + std::to_string(id);
    out.reports.push_back({"refused", "vantrel-collect: " + kind + " from " + ipToDotted(fromAddress) + ":" +
                                          std::to_string(fromPort) + ": template " + ids + " (observation domain " +
                                          std::to_string(message.domain) + ") has no flow field, not learned\n"});
  }
  if (!message.unknownTemplates.empty()) {
    std::string ids;
    for (uint16_t id : message.unknownTemplates) ids += (ids.empty() ? "" : ", ") + std::to_string(id);
    out.reports.push_back({"unknown", "vantrel-collect: " + kind + " from " + ipToDotted(fromAddress) + ":" +
                                          std::to_string(fromPort) + ": skipped data sets of template " + ids +
                                          " (observation domain " + std::to_string(message.domain) +
                                          "), not seen yet\n"});
  }
}

void collectDatagram(const uint8_t* data, size_t size, uint32_t fromAddress, uint16_t fromPort,
                     IpfixTemplates& templates, CollectorFormat format, CollectedText& out) {
  static thread_local CollectedFlows flows;
  flows.reports.clear();
  collectFlows(data, size, fromAddress, fromPort, templates, flows);
  for (const FlowEntry& record : flows.records) {
    appendFlowLine(record, format, out.lines, {fromAddress, flows.obsdomain});
  }
  for (const CollectorReport& report : flows.reports) out.reports += report.line;
}

std::string limitReport(ReportLimiter& limiter, uint32_t exporter, const CollectorReport& report, uint64_t nowMillis) {
  auto key = std::make_pair(exporter, std::string(report.kind));
  auto it = limiter.seen.find(key);
  if (it == limiter.seen.end()) {
    if (limiter.seen.size() >= kMaxReportKeys) limiter.seen.clear();
    limiter.seen[key] = {nowMillis, 0};
    return report.line;
  }
  ReportLimiter::Seen& seen = it->second;
  if (nowMillis - seen.lastShown < 1000 && nowMillis >= seen.lastShown) {
    ++seen.held;
    return "";
  }
  std::string line = report.line;
  if (seen.held > 0) {
    line.insert(line.size() - (!line.empty() && line.back() == '\n' ? 1 : 0),
                " (" + std::to_string(seen.held) + " more like this left out)");
  }
  seen = {nowMillis, 0};
  return line;
}
