// The status document served at "/data/": counters, settings, interfaces,
// run-state flags, the capture state and its last error, totals and, on
// request, the open flows or a port-to-process table. Built on web server
// connection threads; the tables are copied under their locks and the JSON
// is made after the locks are released.
#pragma once

#include <json/json.h>
#include <microhttpd.h>

#include <cstdint>
#include <functional>
#include <string>

#include "flow/flow_record.h"
#include "process/process_table.h"

// One open flow as a flow object; age is now - lastseen.
Json::Value flowToJson(const FlowRecord& rec, uint64_t now);

// One port-to-process entry as a process object; age is now - firstseen.
Json::Value processEntryToJson(const ProcessEntry& entry, uint64_t now);

// The document for one request. The counters, settings and interfaces are
// read first, then `settingsStep` runs (the request's settings step), then the
// list named by `requestedData` ("flows", "udpProcessIDs", "tcpProcessIDs";
// null or anything else: no list) is added, then the totals and flags.
Json::Value buildDataDocument(uint64_t now, const char* requestedData, const std::function<void()>& settingsStep);

// The document as sent: JsonCpp's default stream writer, and one "\n".
std::string dataDocumentText(const Json::Value& doc);

// Builds the document for this request, running its settings step, and
// queues it as "application/json" with status 200. Returns the queuing result.
MHD_Result sendDataDocument(MHD_Connection* connection, uint64_t now);
