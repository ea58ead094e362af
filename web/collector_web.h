// The collector's web interface: the History view over its store, for every
// exporter or one, behind HTTP Digest. The store's answers come through the
// two functions the collector gives; connection threads call them.
#pragma once

#include <json/json.h>
#include <microhttpd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "runtime/history_usage.h"
#include "web/settings_request.h"

// One exporter as the host list shows it.
struct CollectorHost {
  std::string address;
  uint64_t records = 0;
  uint64_t lastSeen = 0;  // ms since 1970
};

struct CollectorWeb {
  uint32_t address = 0x7F000001;  // host order
  uint16_t port = 0;
  std::string user, password;
  std::string root;  // the folder of the page's files
  UsageSource usage;
  std::function<bool(std::vector<CollectorHost>& hosts, std::string& error)> hosts;
};

// The document GET /data/ answers: requestedData=usage gives `usage` (the
// monitor's arguments and `host`), requestedData=hosts gives `hosts`; an
// unknown or missing requestedData gives both names in `requestedData`
// with an error.
Json::Value collectorDataDocument(const CollectorWeb& web, const ArgumentLookup& lookup, uint64_t now);

// Starts the server; null with the reason in `whyNot`. `web` must outlive it.
MHD_Daemon* startCollectorWeb(const CollectorWeb& web, std::string& whyNot);
