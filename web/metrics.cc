#include "web/metrics.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "flow/flow_census.h"
#include "process/owner_table.h"
#include "runtime/state.h"
#include "runtime/traffic_history.h"
#include "web/request_counts.h"

namespace {

std::string protocolName(uint8_t proto) {
  switch (proto) {
    case 1: return "icmp";
    case 6: return "tcp";
    case 17: return "udp";
    case 58: return "icmpv6";
    default: return std::to_string(proto);
  }
}

MetricFamily counter(const char* name, const char* help, uint64_t value) {
  return MetricFamily{name, "counter", help, {MetricSample{{}, value}}};
}

MetricFamily gauge(const char* name, const char* help, uint64_t value) {
  return MetricFamily{name, "gauge", help, {MetricSample{{}, value}}};
}

// One sample per state, 1 for the one that holds and 0 for the others.
MetricFamily stateSet(const char* name, const char* help, const char* label, const std::vector<std::string>& states,
                      const std::string& current) {
  MetricFamily f{name, "gauge", help, {}};
  for (const std::string& s : states) f.samples.push_back(MetricSample{{{label, s}}, s == current ? 1u : 0u});
  return f;
}

// Guards lastExportsSent and exportsSentSum.
std::mutex exportsSentMutex;
uint32_t lastExportsSent = 0;
uint64_t exportsSentSum = 0;

}  // namespace

uint64_t exportsSentTotal() {
  const uint32_t now = static_cast<uint32_t>(exportsSent.load());
  std::lock_guard<std::mutex> lock(exportsSentMutex);
  exportsSentSum += now - lastExportsSent;
  lastExportsSent = now;
  return exportsSentSum;
}

namespace {

std::vector<ProcessTotal> topByName(const std::vector<OwnerTotal>& owners, size_t limit,
                                    std::string FlowOwner::*nameOf) {
  std::map<std::string, ProcessTotal> byName;
  for (const OwnerTotal& t : owners) {
    if (!t.owner || (*t.owner.*nameOf).empty()) continue;
    ProcessTotal& sum = byName[*t.owner.*nameOf];
    sum.flows += t.flows;
    sum.bytes += t.bytes;
  }
  std::vector<ProcessTotal> out;
  out.reserve(byName.size());
  for (auto& [name, total] : byName) {
    total.name = name;
    out.push_back(std::move(total));
  }
  // byName gave name order; a stable sort keeps it among equal counts.
  std::stable_sort(out.begin(), out.end(), [](const ProcessTotal& a, const ProcessTotal& b) {
    return a.bytes != b.bytes ? a.bytes > b.bytes : a.flows > b.flows;
  });
  if (out.size() > limit) out.resize(limit);
  return out;
}

// The last minute's bytes and flows per name, one family each.
void addLastMinuteFamilies(const std::vector<ProcessTotal>& top, const std::string& what, const std::string& label,
                           std::vector<MetricFamily>& out) {
  MetricFamily bytes{"vantrel_" + what + "_last_minute_bytes", "gauge",
                     "Bytes of the flows seen in the last 60 s (open, or finished with their last packet in that time) "
                     "per " + label + ", for the 50 " + what + (what == "process" ? "es" : "s") + " with the most.",
                     {}};
  MetricFamily flows{"vantrel_" + what + "_last_minute_flows", "gauge",
                     "Flows seen in the last 60 s per " + label + ", for the " + what +
                         (what == "process" ? "es" : "s") + " of vantrel_" + what + "_last_minute_bytes.",
                     {}};
  for (const ProcessTotal& p : top) {
    bytes.samples.push_back(MetricSample{{{what, p.name}}, p.bytes});
    flows.samples.push_back(MetricSample{{{what, p.name}}, p.flows});
  }
  out.push_back(std::move(bytes));
  out.push_back(std::move(flows));
}

}  // namespace

std::vector<ProcessTotal> topProcesses(const std::vector<OwnerTotal>& owners, size_t limit) {
  return topByName(owners, limit, &FlowOwner::processname);
}

std::vector<ProcessTotal> topServices(const std::vector<OwnerTotal>& owners, size_t limit) {
  return topByName(owners, limit, &FlowOwner::service);
}

std::vector<MetricFamily> collectMetrics(uint64_t now) {
  const TrafficTotals traffic = trafficTotals();
  const FlowCensus census = flowCensus(now);
  std::vector<MetricFamily> out;

  out.push_back(counter("vantrel_packets_captured_total", "Packets read by capture since the monitor started.",
                        traffic.pkts));
  out.push_back(counter("vantrel_captured_bytes_total",
                        "IP lengths (headers included) of the packets read by capture since the monitor started.",
                        traffic.bytes));
  out.push_back(counter("vantrel_packets_dropped_total",
                        "Packets the system dropped before capture could read them, since the monitor started.",
                        snifferPacketsDropped.load()));
  out.push_back(counter("vantrel_packets_malformed_total",
                        "Packets that could not be decoded, since the monitor started.", snifferPacketsMalformed.load()));

  // TCP, UDP and ICMP of each family always, so their series never vanish;
  // other protocols while they have open flows.
  std::vector<ProtocolCount> kinds = {{4, 6, 0}, {4, 17, 0}, {4, 1, 0}, {6, 6, 0}, {6, 17, 0}, {6, 58, 0}};
  for (const ProtocolCount& c : census.open) {
    auto it = std::find_if(kinds.begin(), kinds.end(),
                           [&](const ProtocolCount& k) { return k.family == c.family && k.proto == c.proto; });
    if (it == kinds.end()) kinds.push_back(c);
    else it->flows = c.flows;
  }
  MetricFamily open{"vantrel_flows_open", "gauge", "Open flows by IP family and protocol.", {}};
  for (const ProtocolCount& c : kinds) {
    open.samples.push_back(MetricSample{{{"family", std::to_string(c.family)}, {"protocol", protocolName(c.proto)}},
                                        c.flows});
  }
  out.push_back(std::move(open));
  out.push_back(gauge("vantrel_flows_waiting_export", "Finished flows waiting for export.", census.waiting));

  out.push_back(counter("vantrel_flows_exported_total", "Flow records sent to the collector since the monitor started.",
                        exportRecordsSent.load()));
  out.push_back(counter("vantrel_export_datagrams_sent_total",
                        "Export datagrams sent to the collector since the monitor started.", exportsSentTotal()));
  out.push_back(counter("vantrel_export_flows_dropped_total",
                        "Finished flows dropped without export (no collector, or left when an export run ended).",
                        exportsDropped.load()));
  out.push_back(counter("vantrel_export_ipv6_flows_skipped_total",
                        "IPv6 flows left out of native-format export, which carries IPv4 only.",
                        exportsSkippedIPv6.load()));

  out.push_back(stateSet("vantrel_owner_source", "Where flow owners come from: 1 for the source in use.", "source",
                         {"kernel events", "socket tables"}, ownerEventsRunning ? "kernel events" : "socket tables"));
  out.push_back(stateSet("vantrel_capture_state", "What capture is doing: 1 for the current state.", "state",
                         {"off", "starting", "capturing", "failing", "stopped"},
                         captureStateName(captureStatusSnapshot().state)));

  MetricFamily requests{"vantrel_http_requests_total", "counter",
                        "Requests answered by the web interface and the metrics endpoint, by status code.", {}};
  const std::pair<HttpServer, const char*> servers[] = {{HttpServer::web, "web"}, {HttpServer::metrics, "metrics"}};
  for (const auto& [server, name] : servers) {
    const std::vector<unsigned> always =
        server == HttpServer::web ? std::vector<unsigned>{200, 401, 404, 503} : std::vector<unsigned>{200, 401, 404, 405};
    for (const auto& [code, n] : answerCounts(server, always)) {
      requests.samples.push_back(MetricSample{{{"server", name}, {"code", std::to_string(code)}}, n});
    }
  }
  out.push_back(std::move(requests));

  addLastMinuteFamilies(topProcesses(census.lastMinute, kMetricsProcessLimit), "process", "process name", out);
  addLastMinuteFamilies(topServices(census.lastMinute, kMetricsProcessLimit), "service", "service", out);
  return out;
}
