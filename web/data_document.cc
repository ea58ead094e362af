#include "web/data_document.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <map>
#include <tuple>

#include "flow/flow_table.h"
#include "flow/ip_text.h"
#include "process/owner_table.h"
#include "runtime/console.h"
#include "runtime/settings.h"
#include "runtime/state.h"
#include "runtime/traffic_history.h"
#include "web/flow_list_text.h"
#include "web/request_counts.h"
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

// Open flows per process name, user, domain, service and container, most
// bytes first (then most flows, then by name), at most `limit` of them.
std::vector<OwnerTotal> ownerTotals(size_t limit) {
  std::vector<OwnerTotal> byRef = flowTotalsByOwner();
  using Names = std::tuple<std::string, std::string, std::string, std::string, std::string>;
  std::map<Names, OwnerTotal> byName;
  for (OwnerTotal& t : byRef) {
    const FlowOwner* o = t.owner.get();
    OwnerTotal& sum = byName[o ? Names(o->processname, o->user, o->domain, o->service, o->container) : Names()];
    if (!sum.owner) sum.owner = t.owner;
    sum.flows += t.flows;
    sum.pkts += t.pkts;
    sum.bytes += t.bytes;
  }
  std::vector<OwnerTotal> out;
  out.reserve(byName.size());
  for (auto& entry : byName) out.push_back(std::move(entry.second));
  // byName gave name order; a stable sort keeps it among equal counts.
  std::stable_sort(out.begin(), out.end(), [](const OwnerTotal& a, const OwnerTotal& b) {
    return a.bytes != b.bytes ? a.bytes > b.bytes : a.flows > b.flows;
  });
  if (out.size() > limit) out.resize(limit);
  return out;
}

Json::Value ownerTotalToJson(const OwnerTotal& t) {
  static const std::string none;
  Json::Value total(Json::objectValue);
  total[StaticString("processname")] = t.owner ? t.owner->processname : none;
  total[StaticString("user")] = t.owner ? t.owner->user : none;
  total[StaticString("domain")] = t.owner ? t.owner->domain : none;
  total[StaticString("service")] = t.owner ? t.owner->service : none;
  total[StaticString("container")] = t.owner ? t.owner->container : none;
  total[StaticString("flows")] = Json::UInt64(t.flows);
  total[StaticString("pkts")] = Json::UInt64(t.pkts);
  total[StaticString("bytes")] = Json::UInt64(t.bytes);
  return total;
}

// Open flows per peer name, most bytes first (then most flows, then by
// name), at most `limit` of them.
std::vector<PeerTotal> peerTotals(size_t limit) {
  std::vector<PeerTotal> out = flowTotalsByPeer();
  std::sort(out.begin(), out.end(), [](const PeerTotal& a, const PeerTotal& b) {
    if (a.bytes != b.bytes) return a.bytes > b.bytes;
    if (a.flows != b.flows) return a.flows > b.flows;
    return a.peer.text() < b.peer.text();
  });
  if (out.size() > limit) out.resize(limit);
  return out;
}

Json::Value peerTotalToJson(const PeerTotal& t) {
  Json::Value total(Json::objectValue);
  total[StaticString("peername")] = t.peer.text();
  total[StaticString("flows")] = Json::UInt64(t.flows);
  total[StaticString("pkts")] = Json::UInt64(t.pkts);
  total[StaticString("bytes")] = Json::UInt64(t.bytes);
  return total;
}

// The history as three arrays of per-second numbers from `start` on.
Json::Value historyToJson(const std::vector<TrafficSample>& samples, uint64_t now) {
  Json::Value history(Json::objectValue);
  Json::Value& pkts = history[StaticString("pkts")] = Json::Value(Json::arrayValue);
  Json::Value& bytes = history[StaticString("bytes")] = Json::Value(Json::arrayValue);
  Json::Value& flows = history[StaticString("flows")] = Json::Value(Json::arrayValue);
  history[StaticString("start")] = Json::UInt64(samples.empty() ? now / 1000 * 1000 : samples.front().second * 1000);
  for (const TrafficSample& s : samples) {
    pkts.append(Json::UInt64(s.pkts));
    bytes.append(Json::UInt64(s.bytes));
    flows.append(Json::UInt64(s.flows));
  }
  return history;
}

constexpr std::chrono::milliseconds kLongListWait{15000};
constexpr size_t kLongListBlockBytes = 64 * 1024;
constexpr char kBusyPage[] = "Another long flow list is being written; try again shortly.\n";

ssize_t readLongList(void* cls, uint64_t, char* out, size_t max) {
  const size_t n = readFlowListText(*static_cast<FlowListText*>(cls), out, max);
  return n == 0 ? MHD_CONTENT_READER_END_OF_STREAM : static_cast<ssize_t>(n);
}

// Called by the library once the answer is sent or the connection is gone.
void endLongList(void* cls) {
  delete static_cast<FlowListText*>(cls);
  releaseLongListTurn();
}

MHD_Result queueBusy(MHD_Connection* connection) {
  MHD_Response* response =
      MHD_create_response_from_buffer(sizeof kBusyPage - 1, const_cast<char*>(kBusyPage), MHD_RESPMEM_PERSISTENT);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, "Content-Type", "text/plain");
  MHD_add_response_header(response, "Retry-After", "2");
  const MHD_Result ret = queueCounted(HttpServer::web, connection, MHD_HTTP_SERVICE_UNAVAILABLE, response);
  MHD_destroy_response(response);
  return ret;
}


}  // namespace

Json::Value flowToJson(const FlowEntry& rec, uint64_t now) {
  Json::Value flow(Json::objectValue);
  flow[StaticString("inif")] = rec.inif;
  flow[StaticString("outif")] = rec.outif;
  flow[StaticString("firstseen")] = Json::UInt64(rec.firstseen);
  flow[StaticString("lastseen")] = Json::UInt64(rec.lastseen);
  flow[StaticString("age")] = Json::UInt64(now - rec.lastseen);
  flow[StaticString("family")] = rec.ipv6() ? 6 : 4;
  flow[StaticString("srcip")] = rec.ipv6() ? ip6Text(rec.srcip6) : ipToDotted(rec.srcip);
  flow[StaticString("dstip")] = rec.ipv6() ? ip6Text(rec.dstip6) : ipToDotted(rec.dstip);
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
  flow[StaticString("peername")] = rec.peername();
  flow[StaticString("namesource")] = rec.namesource();
  flow[StaticString("service")] = rec.service();
  flow[StaticString("container")] = rec.container();
  return flow;
}

Json::Value processEntryToJson(const ProcessEntry& entry, uint64_t now) {
  Json::Value process(Json::objectValue);
  process[StaticString("port")] = entry.port;
  process[StaticString("pid")] = entry.pid;
  process[StaticString("name")] = entry.name();
  process[StaticString("user")] = entry.user();
  process[StaticString("domain")] = entry.domain();
  process[StaticString("service")] = entry.service();
  process[StaticString("container")] = entry.container();
  process[StaticString("firstseen")] = Json::UInt64(entry.firstseen);
  process[StaticString("lastseen")] = Json::UInt64(entry.lastseen);
  process[StaticString("age")] = Json::UInt64(now - entry.firstseen);
  return process;
}

DataRequest readDataRequest(const ArgumentLookup& lookup) {
  DataRequest request;
  request.requestedData = lookup("requestedData");
  if (request.requestedData == nullptr) return request;
  if (strcmp(request.requestedData, "flows") == 0) {
    request.selection = readFlowSelection(lookup);
  } else if (strcmp(request.requestedData, "ownerTotals") == 0 || strcmp(request.requestedData, "peerTotals") == 0) {
    if (const char* text = lookup("ownerLimit")) {
      uint64_t limit = 0;
      if (readWholeNumber(text, INT32_MAX, limit) && limit >= 1) request.ownerLimit = static_cast<size_t>(limit);
      else consolePrintf("ownerLimit %s is not a whole number from 1; ignored\n", text);
    }
  } else if (strcmp(request.requestedData, "usage") == 0) {
    request.usage = readUsageRequest(lookup);
  } else if (strcmp(request.requestedData, "history") == 0) {
    if (const char* text = lookup("historySince")) {
      // Milliseconds since 1970: digits only, up to the year 33658.
      if (!readWholeNumber(text, 999'999'999'999'999, request.historySince)) {
        consolePrintf("historySince %s is not a time in milliseconds since 1970; ignored\n", text);
      }
    }
  }
  return request;
}

Json::Value buildDataDocument(uint64_t now, const DataRequest& request, const std::function<void()>& settingsStep,
                              std::vector<FlowEntry>* longFlows) {
  Json::Value m(Json::objectValue);
  m["snifferPacketCount"] = snifferPacketCount.load();
  m["flowCache"] = Json::UInt64(flowCacheSize());
  m["toExport"] = Json::UInt64(toExportSize());
  m["exportsSent"] = exportsSent.load();
  m["snifferPacketsDropped"] = Json::UInt64(snifferPacketsDropped.load());
  m["exportsSkippedIPv6"] = Json::UInt64(exportsSkippedIPv6.load());
  m["nameTableNames"] = Json::UInt64(nameTableNames.load());
  m["nameTableAnswers"] = Json::UInt64(nameTableAnswers.load());
  m["nameTableUnsolicited"] = Json::UInt64(nameTableUnsolicited.load());
  m["nameTableMalformed"] = Json::UInt64(nameTableMalformed.load());
  m["nameTableEvicted"] = Json::UInt64(nameTableEvicted.load());
  m["settings"] = withPasswordMasked(settingsSnapshot());
  m["passIsDefault"] = settingIsDefault("pass");
  m["interfacesDiscovered"] = interfacesSnapshot();

  settingsStep();

  // The tables are copied under their locks; the elements are made after.
  const char* requestedData = request.requestedData;
  if (requestedData != nullptr) {
    if (strcmp(requestedData, "flows") == 0) {
      std::vector<FlowEntry> flows = copyFlows();
      if (request.selection.active) {
        SelectedFlows selected = selectFlows(std::move(flows), request.selection, now);
        m["flowsMatched"] = Json::UInt64(selected.matched);
        flows = std::move(selected.page);
      }
      if (longFlows != nullptr && flows.size() > kLongFlowList) {
        *longFlows = std::move(flows);
      } else {
        addList(m, "flows", flows, [now](const FlowEntry& r) { return flowToJson(r, now); });
      }
    } else if (strcmp(requestedData, "udpProcessIDs") == 0) {
      refreshUdpProcessIDsForReaders(now);
      addList(m, "udpProcessIDs", copyUdpProcessIDs(),
              [now](const ProcessEntry& e) { return processEntryToJson(e, now); });
    } else if (strcmp(requestedData, "tcpProcessIDs") == 0) {
      refreshTcpProcessIDsForReaders(now);
      addList(m, "tcpProcessIDs", copyTcpProcessIDs(),
              [now](const ProcessEntry& e) { return processEntryToJson(e, now); });
    } else if (strcmp(requestedData, "ownerTotals") == 0) {
      addList(m, "ownerTotals", ownerTotals(request.ownerLimit), ownerTotalToJson);
    } else if (strcmp(requestedData, "peerTotals") == 0) {
      addList(m, "peerTotals", peerTotals(request.ownerLimit), peerTotalToJson);
    } else if (strcmp(requestedData, "history") == 0) {
      m["history"] = historyToJson(trafficHistory(now, request.historySince), now);
    } else if (strcmp(requestedData, "usage") == 0) {
      m["usage"] = usageDocument(request.usage, now);
    }
  }

  const FlowTotals totals = flowTotals();
  m["totalBytes"] = Json::UInt64(totals.bytes);
  m["totalPkts"] = Json::UInt64(totals.pkts);
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

MHD_Result sendDataDocument(MHD_Connection* connection, uint64_t now, const ArgumentLookup& lookup) {
  const DataRequest request = readDataRequest(lookup);
  // A list that may be long waits for its turn before the table is copied,
  // so at most one copy of it and one piece of its text exist at a time.
  const bool mayBeLong = request.requestedData != nullptr && strcmp(request.requestedData, "flows") == 0 &&
                         request.selection.pageSize > kLongFlowList && flowCacheSize() > kLongFlowList;
  if (mayBeLong && !takeLongListTurn(kLongListWait)) return queueBusy(connection);
  SettingsSave save = SettingsSave::nothingChanged;
  std::vector<FlowEntry> longFlows;
  const Json::Value doc = buildDataDocument(now, request, [connection, &lookup, &save] { save = applySettingsArgs(connection, lookup); },
                                            mayBeLong ? &longFlows : nullptr);
  MHD_Response* response = nullptr;
  if (longFlows.empty()) {
    if (mayBeLong) releaseLongListTurn();
    const std::string text = dataDocumentText(doc);
    response = MHD_create_response_from_buffer(text.size(), const_cast<char*>(text.data()), MHD_RESPMEM_MUST_COPY);
  } else {
    FlowListText* text = startFlowListText(doc, std::move(longFlows), now).release();
    response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kLongListBlockBytes, readLongList, text, endLongList);
    if (response == nullptr) endLongList(text);
  }
  if (response != nullptr) {
    MHD_add_response_header(response, "Content-Type", "application/json");
    if (save != SettingsSave::nothingChanged) {
      MHD_add_response_header(response, kSettingsSavedHeader, save == SettingsSave::saved ? "true" : "false");
    }
  }
  const MHD_Result ret = queueCounted(HttpServer::web, connection, MHD_HTTP_OK, response);
  if (response != nullptr) MHD_destroy_response(response);
  return ret;
}
