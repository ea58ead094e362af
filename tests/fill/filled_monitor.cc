// A test-only monitor: the web interface of the real one over a flow table
// filled with made-up open flows, fifteen minutes of made-up traffic history,
// made-up adapters and loss counters, for the browser test and the
// benchmarks of a busy host. Capture and export stay off; nothing is sent
// anywhere. Never shipped.
//
//   vantrel-filled [FLOWS]      (default 100000), from a folder holding
//                               vantrelsettings.json and resources/web/
//
// With VANTREL_FILLED_HISTORY=FILE, usage questions are answered from that
// history file, read only (for the History view's measurements).
#include <json/json.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "flow/flow_table.h"
#include "platform/clock.h"
#include "runtime/console.h"
#include "runtime/flow_owner.h"
#include "runtime/history_usage.h"
#include "runtime/settings.h"
#include "runtime/state.h"
#include "runtime/traffic_history.h"
#include "store/history_file.h"
#include "web/http_server.h"
#include "web/https_setup.h"

namespace {

// Packets a second of the made-up traffic: a slow swing between 2,000 and 8,000.
uint32_t packetsInSecond(uint64_t second) {
  return static_cast<uint32_t>(5000 + 3000 * std::sin(static_cast<double>(second % 600) / 600.0 * 6.2832));
}

void recordSecond(uint64_t second, size_t flows) {
  const uint32_t packets = packetsInSecond(second);
  for (uint32_t i = 0; i < packets; ++i) recordTraffic(second * 1000 + i * 1000 / packets, 40 + i % 1461, flows);
}

std::vector<OwnerRef> makeOwners() {
  const char* named[][4] = {{"/usr/sbin/nginx", "www-data", "nginx.service", ""},
                            {"/usr/lib/postgresql/15/bin/postgres", "postgres", "postgresql@15-main.service", ""},
                            {"/usr/bin/python3.11", "app", "docker-4f1c0a9e2b7d.scope", "4f1c0a9e2b7d"},
                            {"/usr/sbin/sshd", "root", "ssh.service", ""},
                            {"/usr/bin/rsync", "backup", "session-4.scope", ""},
                            {"/usr/sbin/named", "bind", "named.service", ""},
                            {"/usr/bin/redis-server", "redis", "redis-server.service", ""},
                            {"/opt/java/bin/java", "tomcat", "", "6f2c4a1e-3b5d-4e7f-9a8b-1c2d3e4f5a6b"}};
  std::vector<OwnerRef> owners;
  for (const auto& n : named) owners.push_back(makeOwner(n[0], n[1], "busyhost", n[2], n[3]));
  for (int i = 0; i < 40; ++i) {
    owners.push_back(makeOwner("/usr/local/bin/worker-" + std::to_string(i), "svc" + std::to_string(i % 7), "busyhost",
                               "worker@" + std::to_string(i % 9) + ".service"));
  }
  owners.push_back(nullptr);  // flows whose owner was not found
  return owners;
}

void fill(size_t count, uint64_t now) {
  std::mt19937 random(17);
  const std::vector<OwnerRef> owners = makeOwners();
  const uint32_t local = 0xc0000201u;  // 192.0.2.1
  std::lock_guard<std::mutex> lock(flowTableMutex);
  flowCache.reserve(count);
  for (size_t i = 0; flowCache.size() < count; ++i) {
    const uint32_t remote = 0xc6120000u + random() % 0x20000;  // 198.18.0.0/15
    const uint32_t kind = random() % 20;
    const uint8_t proto = kind == 0 ? 1 : kind < 8 ? 17 : 6;
    const bool out = random() % 2 == 0;
    const uint16_t localPort = proto == 1 ? 8 : static_cast<uint16_t>(1024 + random() % 60000);
    const uint16_t remotePort = proto == 1 ? 0 : static_cast<uint16_t>(kind < 8 ? 53 : 443 + random() % 3 * 100);
    // Owners by rank: the first few hold most flows, as on a real server.
    const size_t rank = static_cast<size_t>(std::pow(static_cast<double>(random() % 1000) / 1000.0, 3) * 48);
    const OwnerRef owner = proto == 1 ? nullptr : owners[rank];
    FlowRecord r = makeFlowRecord(out ? 0 : 1, out ? 1 : 0, proto, out ? local : remote, out ? remote : local,
                                  out ? localPort : remotePort, out ? remotePort : localPort, 60, proto == 6 ? 0x1a : 0,
                                  static_cast<uint8_t>(random() % 8 == 0 ? 46 : 0), now - random() % 50000, owner);
    r.pkts = static_cast<int32_t>(1 + std::pow(random() % 1000, 2) / 400);
    r.bytes = r.pkts * static_cast<int32_t>(60 + random() % 1400);
    r.lastseen = r.firstseen + random() % 5000;
    // Two TCP flows in three named by their TLS server name, the rest of the
    // named ones by DNS.
    static const char* const kNames[] = {"api.example.net", "cdn.example.net", "mail.example.net",
                                         "www.example.net", "static.example.net", "login.example.net"};
    if (proto == 6 && remote % 3 != 0) {
      r.peer = PeerName::make(kNames[remote % 6], remote % 3 == 1 ? NameSource::kTls : NameSource::kDns);
    }
    insertFlow(keyOf(r), std::move(r));
  }
}

// Two adapters as discovery records them: the busy one with IPv4 and IPv6
// addresses (one of them as long as IPv6 text gets), and loopback.
void fillInterfaces() {
  Json::Value ifs(Json::objectValue);
  Json::Value& busy = ifs["if_2"];
  busy["ips"].append("192.0.2.1");
  busy["ips6"].append("2001:db8:85a3:1234:5678:8a2e:370:7334");
  busy["ips6"].append("2001:db8::1");
  busy["ips6"].append("fe80::216:3eff:fe5e:1a2b");
  busy["mac"] = "00:16:3e:5e:1a:2b";
  Json::Value& lo = ifs["if_1"];
  lo["ips"].append("127.0.0.1");
  lo["ips6"].append("::1");
  lo["mac"] = "";
  std::lock_guard<std::mutex> lock(interfacesMutex);
  interfacesDiscovered = ifs;
}

// A sixteenth of the open flows counted into, as if their packets had come.
void touch(uint64_t now, std::mt19937& random) {
  std::lock_guard<std::mutex> lock(flowTableMutex);
  for (FlowRecord& r : flowCache) {
    if (random() % 16 == 0) countPacket(r, now - random() % 1000, static_cast<uint16_t>(60 + random() % 1400), 0x10);
  }
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  const size_t count = argc > 1 ? strtoul(argv[1], nullptr, 10) : 100000;
  loadSettings();
  const int32_t httpPort = settingPort("httpPort");
  const uint64_t start = currentTimeMillis();
  startTrafficHistory(start - kHistorySeconds * 1000);
  for (uint64_t s = start / 1000 - kHistorySeconds; s < start / 1000; ++s) recordSecond(s, count);
  fill(count, start);
  fillInterfaces();
  if (const char* history = getenv("VANTREL_FILLED_HISTORY"); history != nullptr && *history != '\0') {
    const std::string path = history;
    setUsageSource([path](const UsageQuery& q, UsageAnswer& a, std::string& e) {
      return queryHistoryUsage(path, q, a, e);
    });
  }
  snifferPacketsDropped = 1234;
  exportsSkippedIPv6 = 56;
  std::string whyNot;
  HttpsCredentials https;
  const WebTransport transport = prepareHttps(static_cast<int64_t>(start / 1000), https, whyNot);
  if (transport == WebTransport::off ||
      startHTTPDaemon(static_cast<uint16_t>(httpPort), transport == WebTransport::https ? &https : nullptr,
                      whyNot) == nullptr) {
    consolePrintf("startHTTPDaemon Null! %s\n", whyNot.c_str());
    return 1;
  }
  consolePrintf("Filled with %zu open flows, web interface on port %i\n", flowCacheSize(), httpPort);
  std::mt19937 random(5);
  for (uint64_t second = start / 1000;; ++second) {
    while (currentTimeMillis() / 1000 <= second) sleepMillis(50);
    recordSecond(second, flowCacheSize());
    touch(currentTimeMillis(), random);
  }
}
