// The status document served at "/data/": counters, settings, interfaces,
// run-state flags, the capture state and its last error, totals and, on
// request, the open flows (all, or a selected page), a port-to-process table,
// the totals per owner or the traffic history. Built on web server connection
// threads; the tables are copied under their locks and the JSON is made after
// the locks are released.
#pragma once

#include <json/json.h>
#include <microhttpd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "flow/flow_record.h"
#include "process/process_table.h"
#include "web/flow_selection.h"
#include "web/usage_document.h"

// One open flow as a flow object; age is now - lastseen.
Json::Value flowToJson(const FlowEntry& rec, uint64_t now);

// One port-to-process entry as a process object; age is now - firstseen.
Json::Value processEntryToJson(const ProcessEntry& entry, uint64_t now);

// What a request asks for. Without selection arguments, ownerTotals or
// history the document is exactly the design's.
struct DataRequest {
  const char* requestedData = nullptr;  // "flows", "udpProcessIDs", "tcpProcessIDs", "ownerTotals", "peerTotals",
                                        // "history"
  FlowSelection selection;              // for "flows"
  size_t ownerLimit = 10;               // for "ownerTotals" and "peerTotals": most elements
  uint64_t historySince = 0;            // for "history": ms since 1970 of the first second wanted
  UsageRequest usage;                   // for "usage"
};

// Reads requestedData and, for the list it names, the arguments of that list
// (sortBy, sortOrder, pageSize, page, filter; ownerLimit; historySince). An
// unusable value prints one console line and keeps the default.
DataRequest readDataRequest(const ArgumentLookup& lookup);

// The document for one request. The counters, settings and interfaces are
// read first, then `settingsStep` runs (the request's settings step), then the
// list named by requestedData (null or any other name: no list) is added,
// then the totals and flags. When `longFlows` is given and the flows list
// would hold more than kLongFlowList elements, the records are moved there
// instead and the document has no `flows` member.
Json::Value buildDataDocument(uint64_t now, const DataRequest& request, const std::function<void()>& settingsStep,
                              std::vector<FlowEntry>* longFlows = nullptr);

inline Json::Value buildDataDocument(uint64_t now, const char* requestedData,
                                     const std::function<void()>& settingsStep) {
  DataRequest request;
  request.requestedData = requestedData;
  return buildDataDocument(now, request, settingsStep);
}

// The document as sent: JsonCpp's default stream writer, and one "\n".
std::string dataDocumentText(const Json::Value& doc);

// Builds the document for this request, running its settings step, and
// queues it as "application/json" with status 200; a long flow list is
// written piece by piece. While another long list is being written, a request
// for one waits up to 15 s and is then answered 503 with Retry-After, its
// settings arguments untouched. Returns the queuing result.
MHD_Result sendDataDocument(MHD_Connection* connection, uint64_t now, const ArgumentLookup& lookup);
