#include "web/data_document.h"

#include <charconv>
#include <string_view>
#include <cstring>
#include <exception>
#include <unordered_map>

#include "app/console.h"
#include "app/settings.h"
#include "app/state.h"
#include "flow/flow_table.h"
#include "flow/ip_text.h"
#include "web/settings_request.h"

namespace {

using Json::StaticString;

// Appends one element per record to a new array member `name` of `doc`. An
// exception while making an element prints its text and ends the list there.
template <typename Record, typename MakeElement>
void addList(Json::Value& doc, const char* name, const std::vector<Record>& records, MakeElement makeElement) {
  if (records.empty()) return;
  Json::Value& list = doc[name] = Json::Value(Json::arrayValue);
  for (const Record& record : records) {
    try {
      list.append(makeElement(record));
    } catch (const std::exception& e) {
      consoleWrite(std::string(e.what()) + "\n");
      break;
    }
  }
}

// The three owner strings of a flow as the JSON writer quotes them, worked
// out once per owner: a full table has few owners and many flows.
struct QuotedOwner {
  std::string processname, user, domain;
};

std::string quoted(const std::string& text) {
  static const Json::StreamWriterBuilder writer;
  return Json::writeString(writer, Json::Value(text));
}

class OwnerQuotes {
 public:
  const QuotedOwner& of(const FlowRecord& rec) {
    auto [it, added] = cache_.try_emplace(rec.owner.get());
    if (added) it->second = QuotedOwner{quoted(rec.processname()), quoted(rec.user()), quoted(rec.domain())};
    return it->second;
  }

 private:
  std::unordered_map<const FlowOwner*, QuotedOwner> cache_;
};

// Writers for one member line of a flow object, which stands at depth 3 of
// the document: the default writer puts each member on its own line,
// indented by one tab per level, with " : " after the name.
template <typename Number>
void member(std::string& out, const char* line, Number value) {
  out += line;
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

void member(std::string& out, const char* line, const std::string& quotedText) {
  out += line;
  out += quotedText;
}

void dottedMember(std::string& out, const char* line, uint32_t address) {
  out += line;
  out += '"';
  out += ipToDotted(address);
  out += '"';
}

// One element of the flows list, members in the writer's (byte) order.
void appendFlow(std::string& out, const FlowRecord& rec, uint64_t now, OwnerQuotes& owners) {
  const QuotedOwner& owner = owners.of(rec);
  out += "\n\t\t{";
  member(out, "\n\t\t\t\"age\" : ", now - rec.lastseen);
  member(out, ",\n\t\t\t\"bytes\" : ", rec.bytes);
  member(out, ",\n\t\t\t\"domain\" : ", owner.domain);
  dottedMember(out, ",\n\t\t\t\"dstip\" : ", rec.dstip);
  member(out, ",\n\t\t\t\"dstport\" : ", rec.dstport);
  member(out, ",\n\t\t\t\"firstseen\" : ", rec.firstseen);
  member(out, ",\n\t\t\t\"flags\" : ", rec.flags);
  member(out, ",\n\t\t\t\"inif\" : ", rec.inif);
  member(out, ",\n\t\t\t\"lastseen\" : ", rec.lastseen);
  member(out, ",\n\t\t\t\"outif\" : ", rec.outif);
  member(out, ",\n\t\t\t\"pkts\" : ", rec.pkts);
  member(out, ",\n\t\t\t\"processname\" : ", owner.processname);
  member(out, ",\n\t\t\t\"proto\" : ", rec.proto);
  dottedMember(out, ",\n\t\t\t\"srcip\" : ", rec.srcip);
  member(out, ",\n\t\t\t\"srcport\" : ", rec.srcport);
  member(out, ",\n\t\t\t\"tos\" : ", rec.tos);
  member(out, ",\n\t\t\t\"user\" : ", owner.user);
  out += "\n\t\t}";
}

// Appends the flows list as the writer writes a non-empty array member of
// the root: the opening bracket on a line of its own, elements separated by
// ",". An exception while writing an element prints its text and ends the
// list after the elements already written.
void appendFlowList(std::string& out, const std::vector<FlowRecord>& flows, uint64_t now) {
  OwnerQuotes owners;
  out += "\n\t[";
  for (size_t i = 0; i < flows.size(); ++i) {
    const size_t complete = out.size();
    try {
      if (i > 0) out += ',';
      appendFlow(out, flows[i], now, owners);
    } catch (const std::exception& e) {
      out.resize(complete);
      consoleWrite(std::string(e.what()) + "\n");
      break;
    }
  }
  out += "\n\t]";
}

}  // namespace

Json::Value flowToJson(const FlowRecord& rec, uint64_t now) {
  Json::Value flow(Json::objectValue);
  flow[StaticString("inif")] = rec.inif;
  flow[StaticString("outif")] = rec.outif;
  flow[StaticString("firstseen")] = Json::UInt64(rec.firstseen);
  flow[StaticString("lastseen")] = Json::UInt64(rec.lastseen);
  flow[StaticString("age")] = Json::UInt64(now - rec.lastseen);
  flow[StaticString("srcip")] = ipToDotted(rec.srcip);
  flow[StaticString("dstip")] = ipToDotted(rec.dstip);
  flow[StaticString("srcport")] = rec.srcport;
  flow[StaticString("dstport")] = rec.dstport;
  flow[StaticString("pkts")] = rec.pkts;
  flow[StaticString("bytes")] = rec.bytes;
  flow[StaticString("flags")] = rec.flags;
  flow[StaticString("tos")] = rec.tos;
  flow[StaticString("proto")] = rec.proto;
  flow[StaticString("processname")] = rec.processname();
  flow[StaticString("user")] = rec.user();
  flow[StaticString("domain")] = rec.domain();
  return flow;
}

Json::Value processEntryToJson(const ProcessEntry& entry, uint64_t now) {
  Json::Value process(Json::objectValue);
  process[StaticString("port")] = entry.port;
  process[StaticString("pid")] = entry.pid;
  process[StaticString("name")] = entry.name();
  process[StaticString("user")] = entry.user();
  process[StaticString("domain")] = entry.domain();
  process[StaticString("firstseen")] = Json::UInt64(entry.firstseen);
  process[StaticString("lastseen")] = Json::UInt64(entry.lastseen);
  process[StaticString("age")] = Json::UInt64(now - entry.firstseen);
  return process;
}

DataDocument buildDataDocument(uint64_t now, const char* requestedData, const std::function<void()>& settingsStep) {
  DataDocument doc;
  doc.now = now;
  Json::Value& m = doc.members;
  m = Json::Value(Json::objectValue);
  m["snifferPacketCount"] = snifferPacketCount.load();
  m["flowCache"] = Json::UInt64(flowCacheSize());
  m["toExport"] = Json::UInt64(toExportSize());
  m["exportsSent"] = exportsSent.load();
  m["settings"] = settingsSnapshot();
  m["interfacesDiscovered"] = interfacesSnapshot();

  settingsStep();

  // The tables are copied under their locks; the elements are made after.
  if (requestedData != nullptr) {
    if (strcmp(requestedData, "flows") == 0) {
      doc.flows = copyFlows();
    } else if (strcmp(requestedData, "udpProcessIDs") == 0) {
      addList(m, "udpProcessIDs", copyUdpProcessIDs(),
              [now](const ProcessEntry& e) { return processEntryToJson(e, now); });
    } else if (strcmp(requestedData, "tcpProcessIDs") == 0) {
      addList(m, "tcpProcessIDs", copyTcpProcessIDs(),
              [now](const ProcessEntry& e) { return processEntryToJson(e, now); });
    }
  }

  const FlowTotals totals = flowTotals();
  m["totalBytes"] = totals.bytes;
  m["totalPkts"] = totals.pkts;
  m["totalFlows"] = Json::UInt64(totals.flows);
  m["totalUDPProcesses"] = Json::UInt64(udpProcessCount());
  m["totalTCPProcesses"] = Json::UInt64(tcpProcessCount());
  m["keepSniffing"] = keepSniffing.load();
  m["keepSendingExports"] = keepSendingExports.load();
  m["exporterRunning"] = exporterRunning.load();
  m["snifferRunning"] = snifferRunning.load();
  return doc;
}

std::string dataDocumentText(const DataDocument& doc) {
  Json::StreamWriterBuilder builder;
  if (doc.flows.empty()) return Json::writeString(builder, doc.members) + "\n";
  // The writer places an empty array as "[]" right after the name; the
  // written list takes its place. Only numbers and flags precede "flows" in
  // byte order, so the first match is the member itself.
  Json::Value withPlaceholder = doc.members;
  withPlaceholder["flows"] = Json::Value(Json::arrayValue);
  const std::string members = Json::writeString(builder, withPlaceholder);
  static constexpr std::string_view kPlaceholder = "\n\t\"flows\" : []";
  const size_t at = members.find(kPlaceholder);
  if (at == std::string::npos) return members + "\n";
  const size_t bracket = at + kPlaceholder.size() - 2;
  std::string text;
  text.reserve(members.size() + doc.flows.size() * 400);
  text.append(members, 0, bracket);
  appendFlowList(text, doc.flows, doc.now);
  text.append(members, bracket + 2);
  text += '\n';
  return text;
}

MHD_Result sendDataDocument(MHD_Connection* connection, uint64_t now) {
  const char* requestedData = getArgument(connection, "requestedData");
  const DataDocument doc =
      buildDataDocument(now, requestedData, [connection] { applySettingsArgs(connection); });
  const std::string text = dataDocumentText(doc);
  MHD_Response* response =
      MHD_create_response_from_buffer(text.size(), const_cast<char*>(text.data()), MHD_RESPMEM_MUST_COPY);
  if (response != nullptr) MHD_add_response_header(response, "Content-Type", "application/json");
  const MHD_Result ret = MHD_queue_response(connection, MHD_HTTP_OK, response);
  if (response != nullptr) MHD_destroy_response(response);
  return ret;
}
