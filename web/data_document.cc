#include "web/data_document.h"

#include <cstring>
#include <exception>

#include "flow/flow_table.h"
#include "flow/ip_text.h"
#include "process/owner_table.h"
#include "runtime/console.h"
#include "runtime/settings.h"
#include "runtime/state.h"
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
  // The counters wrap modulo 2^32; they are never shown negative.
  flow[StaticString("pkts")] = Json::UInt(static_cast<uint32_t>(rec.pkts));
  flow[StaticString("bytes")] = Json::UInt(static_cast<uint32_t>(rec.bytes));
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

Json::Value buildDataDocument(uint64_t now, const char* requestedData, const std::function<void()>& settingsStep) {
  Json::Value m(Json::objectValue);
  m["snifferPacketCount"] = snifferPacketCount.load();
  m["flowCache"] = Json::UInt64(flowCacheSize());
  m["toExport"] = Json::UInt64(toExportSize());
  m["exportsSent"] = exportsSent.load();
  m["settings"] = withPasswordMasked(settingsSnapshot());
  m["interfacesDiscovered"] = interfacesSnapshot();

  settingsStep();

  // The tables are copied under their locks; the elements are made after.
  if (requestedData != nullptr) {
    if (strcmp(requestedData, "flows") == 0) {
      addList(m, "flows", copyFlows(), [now](const FlowRecord& r) { return flowToJson(r, now); });
    } else if (strcmp(requestedData, "udpProcessIDs") == 0) {
      addList(m, "udpProcessIDs", copyUdpProcessIDs(),
              [now](const ProcessEntry& e) { return processEntryToJson(e, now); });
    } else if (strcmp(requestedData, "tcpProcessIDs") == 0) {
      addList(m, "tcpProcessIDs", copyTcpProcessIDs(),
              [now](const ProcessEntry& e) { return processEntryToJson(e, now); });
    }
  }

  const FlowTotals totals = flowTotals();
  m["totalBytes"] = Json::UInt(totals.bytes);
  m["totalPkts"] = Json::UInt(totals.pkts);
  m["totalFlows"] = Json::UInt64(totals.flows);
  m["totalUDPProcesses"] = Json::UInt64(udpProcessCount());
  m["totalTCPProcesses"] = Json::UInt64(tcpProcessCount());
  m["keepSniffing"] = keepSniffing.load();
  m["keepSendingExports"] = keepSendingExports.load();
  m["exporterRunning"] = exporterRunning.load();
  m["snifferRunning"] = snifferRunning.load();
  m["ownerSource"] = ownerEventsRunning ? "kernel events" : "socket tables";
  const CaptureStatus capture = captureStatusSnapshot();
  m["captureState"] = captureStateName(capture.state);
  m["captureError"] = capture.error;
  return m;
}

std::string dataDocumentText(const Json::Value& doc) {
  static const Json::StreamWriterBuilder builder;
  return Json::writeString(builder, doc) + "\n";
}

MHD_Result sendDataDocument(MHD_Connection* connection, uint64_t now) {
  const char* requestedData = getArgument(connection, "requestedData");
  SettingsSave save = SettingsSave::nothingChanged;
  const Json::Value doc =
      buildDataDocument(now, requestedData, [connection, &save] { save = applySettingsArgs(connection); });
  const std::string text = dataDocumentText(doc);
  MHD_Response* response =
      MHD_create_response_from_buffer(text.size(), const_cast<char*>(text.data()), MHD_RESPMEM_MUST_COPY);
  if (response != nullptr) {
    MHD_add_response_header(response, "Content-Type", "application/json");
    if (save != SettingsSave::nothingChanged) {
      MHD_add_response_header(response, kSettingsSavedHeader, save == SettingsSave::saved ? "true" : "false");
    }
  }
  const MHD_Result ret = MHD_queue_response(connection, MHD_HTTP_OK, response);
  if (response != nullptr) MHD_destroy_response(response);
  return ret;
}
