// Counting as the wire saw it, end to end: a transfer larger than a 32-bit
// byte count through two monitors (native and IPFIX export) into
// vantrel-collect and its stores; and the burst of an orderly stop reaching
// collectors that read with the system's default receive buffer. Two
// namespaces joined by a veth pair made here; export stays on the monitor
// namespace's loopback.
#include <signal.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "tests/support/system_test.h"

namespace {

using std::chrono::milliseconds;

constexpr const char* kMonitorSide = "10.213.31.1";
constexpr const char* kSenderSide = "10.213.31.2";
constexpr int kDataPort = 23101;

std::string settings(const char* format, uint16_t receiverPort, int httpPort) {
  return std::string("{\"listenerIP\": \"") + kMonitorSide + "\", \"receiverIP\": \"127.0.0.1\", \"receiverPort\": " +
         std::to_string(receiverPort) + ", \"httpPort\": " + std::to_string(httpPort) +
         ", \"user\": \"admin\", \"pass\": \"x\", \"exportFormat\": \"" + format + "\"}";
}

uint64_t counter(const Netns& ns, const std::string& dev, const char* name) {
  std::string out;
  ns.exec("cat /sys/class/net/" + dev + "/statistics/" + name, &out);
  return std::stoull(out.empty() ? "0" : out);
}

// Bytes of IP packets (Ethernet headers taken off) `dev` has sent so far.
uint64_t ipBytesSent(const Netns& ns, const std::string& dev) {
  return counter(ns, dev, "tx_bytes") - 14 * counter(ns, dev, "tx_packets");
}

// The records of the data flow (sender to receiver) among `flows`.
std::vector<Json::Value> dataRecords(const std::vector<Json::Value>& flows) {
  std::vector<Json::Value> out;
  for (const Json::Value& f : flows) {
    if (f["srcip"] == kSenderSide && f["dstport"] == kDataPort && f["proto"] == 6) out.push_back(f);
  }
  return out;
}

uint64_t bytesOf(const std::vector<Json::Value>& records) {
  uint64_t sum = 0;
  for (const Json::Value& r : records) sum += r["bytes"].asUInt64();
  return sum;
}

// The records vantrel-collect's store `file` holds for the sender's address.
std::vector<Json::Value> storedFlows(const std::string& file) {
  std::string out;
  runCommand(binaryPath("vantrel-collect") + " query --store " + file + " --peer " + kSenderSide +
                 " --since 1d --limit 0 --format json 2>&1",
             &out);
  std::vector<Json::Value> flows;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] == '{') flows.push_back(parseJson(line));
  }
  return flows;
}

// Stops a collector once its output has stopped growing.
void settleAndStop(CollectorProcess& collector) {
  size_t size = SIZE_MAX;
  while (collector.child.output().size() != size) {
    size = collector.child.output().size();
    sleepMillis(1000);
  }
  collector.child.signal(SIGTERM);
  collector.child.wait(milliseconds(30000));
}

// The link with nothing on it but what the test sends: no IPv6 and no ARP.
std::string quietLink(const Netns& monitorNs, const Netns& senderNs) {
  const std::string monitorDev = linkNamespaces(monitorNs, std::string(kMonitorSide) + "/24", senderNs,
                                                std::string(kSenderSide) + "/24");
  const std::string senderDev = monitorDev.substr(0, monitorDev.size() - 1) + "b";
  for (const auto& [ns, dev] : {std::pair{&monitorNs, monitorDev}, std::pair{&senderNs, senderDev}}) {
    ns->exec("sysctl -qw net.ipv6.conf." + dev + ".disable_ipv6=1");
  }
  std::string macs[2];
  monitorNs.exec("cat /sys/class/net/" + monitorDev + "/address", &macs[0]);
  senderNs.exec("cat /sys/class/net/" + senderDev + "/address", &macs[1]);
  for (std::string& m : macs) m.erase(m.find_last_not_of("\n") + 1);
  monitorNs.exec("ip neigh replace " + std::string(kSenderSide) + " lladdr " + macs[1] + " nud permanent dev " +
                 monitorDev);
  senderNs.exec("ip neigh replace " + std::string(kMonitorSide) + " lladdr " + macs[0] + " nud permanent dev " +
                senderDev);
  return senderDev;
}

constexpr const char* kReceiver = R"(
import socket, sys
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind((sys.argv[1], int(sys.argv[2])))
s.listen(1)
print("listening", flush=True)
c, _ = s.accept()
buf = memoryview(bytearray(1 << 22))
n = 0
while True:
    k = c.recv_into(buf)
    if not k:
        break
    n += k
c.close()
print("received", n, flush=True)
)";

constexpr const char* kSender = R"(
import socket, sys
left = int(sys.argv[3])
s = socket.create_connection((sys.argv[1], int(sys.argv[2])))
block = memoryview(bytes(1 << 22))
while left:
    k = min(left, len(block))
    s.sendall(block[:k])
    left -= k
s.shutdown(socket.SHUT_WR)
s.recv(1)
s.close()
)";

// One TCP transfer of 6 GiB, more than a 32-bit byte count holds: what the
// monitor's status document, vantrel-collect (native and IPFIX) and its
// SQLite stores report for it adds up to exactly the IP bytes the sending
// end put on the link, in records none of which wrapped.
TEST(Counting, SixGibInOneTransferAddUpEverywhere) {
  REQUIRE_ROOT();
  Netns monitorNs("vtcnt-m");
  Netns senderNs("vtcnt-s");
  const std::string senderDev = quietLink(monitorNs, senderNs);
  TempDir nativeDir, ipfixDir;
  CollectorProcess nativeCollector, ipfixCollector;
  ASSERT_TRUE(nativeCollector.start(nativeDir, "127.0.0.1:0", monitorNs.name,
                                    {"--store", nativeDir.file("flows.sqlite"), "--format", "json"}))
      << nativeCollector.child.output();
  ASSERT_TRUE(ipfixCollector.start(ipfixDir, "127.0.0.1:0", monitorNs.name,
                                   {"--store", ipfixDir.file("flows.sqlite"), "--format", "json"}))
      << ipfixCollector.child.output();
  ChildProcess nativeMonitor, ipfixMonitor;
  ASSERT_TRUE(startMonitor(nativeMonitor, nativeDir, monitorNs, settings("native", nativeCollector.port, 23191),
                           "Listener Socket IO controls set!\n"))
      << nativeMonitor.output();
  ASSERT_TRUE(startMonitor(ipfixMonitor, ipfixDir, monitorNs, settings("ipfix", ipfixCollector.port, 23192),
                           "Listener Socket IO controls set!\n"))
      << ipfixMonitor.output();

  TempDir work;
  writeFile(work.file("receive.py"), kReceiver);
  writeFile(work.file("send.py"), kSender);
  ChildProcess receiver;
  ASSERT_TRUE(receiver.start({"python3", work.file("receive.py"), kMonitorSide, std::to_string(kDataPort)}, work.path,
                             work.file("receiver.log"), monitorNs.name));
  ASSERT_TRUE(waitFor([&] { return receiver.output().find("listening") != std::string::npos; }, milliseconds(5000)));

  const uint64_t payload = uint64_t{6} << 30;
  const uint64_t before = ipBytesSent(senderNs, senderDev);
  const uint64_t startedAt = currentTimeMillis();
  ASSERT_EQ(senderNs.exec("python3 " + work.file("send.py") + " " + kMonitorSide + " " + std::to_string(kDataPort) +
                          " " + std::to_string(payload)),
            0);
  ASSERT_NE(receiver.wait(milliseconds(10000)), -1);
  EXPECT_LT(currentTimeMillis() - startedAt, 60000u) << "the transfer took over a minute";
  EXPECT_NE(receiver.output().find("received " + std::to_string(payload)), std::string::npos) << receiver.output();
  sleepMillis(300);  // the last packets captured
  const uint64_t sent = ipBytesSent(senderNs, senderDev) - before;
  ASSERT_GT(sent, payload);

  // The open record as the status document shows it; the records before it
  // have gone to the collector already.
  std::string body;
  ASSERT_EQ(monitorNs.exec("curl -s --max-time 10 --digest -u admin:x "
                           "'http://127.0.0.1:23191/data/?requestedData=flows'",
                           &body),
            0);
  const Json::Value doc = parseJson(body);
  const std::vector<Json::Value> shown = dataRecords(std::vector<Json::Value>(doc["flows"].begin(), doc["flows"].end()));
  ASSERT_EQ(shown.size(), 1u) << body.substr(0, 2000);
  EXPECT_EQ(doc["snifferPacketsDropped"].asUInt64(), 0u);

  nativeMonitor.signal(SIGTERM);
  ipfixMonitor.signal(SIGTERM);
  ASSERT_NE(nativeMonitor.wait(milliseconds(20000)), -1);
  ASSERT_NE(ipfixMonitor.wait(milliseconds(20000)), -1);
  settleAndStop(nativeCollector);
  settleAndStop(ipfixCollector);

  const struct {
    const char* what;
    std::vector<Json::Value> records;
  } outputs[] = {
      {"native datagrams", dataRecords(nativeCollector.flows())},
      {"IPFIX", dataRecords(ipfixCollector.flows())},
      {"store of the native collector", dataRecords(storedFlows(nativeDir.file("flows.sqlite")))},
      {"store of the IPFIX collector", dataRecords(storedFlows(ipfixDir.file("flows.sqlite")))},
  };
  for (const auto& o : outputs) {
    SCOPED_TRACE(o.what);
    EXPECT_EQ(bytesOf(o.records), sent);
    EXPECT_GE(o.records.size(), 2u) << "6 GiB do not fit one 32-bit count";
    bool last = false;
    for (const Json::Value& r : o.records) {
      EXPECT_LE(r["bytes"].asUInt64(), UINT32_MAX);
      if (r["firstseen"] == shown[0]["firstseen"]) {
        last = true;
        EXPECT_EQ(r["bytes"], shown[0]["bytes"]) << "the record the status document showed";
        EXPECT_EQ(r["pkts"], shown[0]["pkts"]);
      }
    }
    EXPECT_TRUE(last);
  }
}

constexpr int kStopFlows = 20000;

// A plain collector: one socket with the system's default receive buffer,
// one thread; prints the records of the native datagrams it took once none
// has come for two seconds.
constexpr const char* kPlainReader = R"(
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", int(sys.argv[1])))
print("buffer", s.getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF), flush=True)
records = datagrams = 0
s.settimeout(None)
while True:
    d = s.recv(65535)
    s.settimeout(2)
    datagrams += 1
    records += d[2] << 8 | d[3]
    try:
        while True:
            d = s.recv(65535)
            datagrams += 1
            records += d[2] << 8 | d[3]
    except socket.timeout:
        break
print("records", records, "datagrams", datagrams, flush=True)
)";

// 20,000 flows open at an orderly stop: a plain reader with the default
// receive buffer gets at least 99.9 % of their records, and so does nfcapd
// (IPFIX), read back with nfdump.
TEST(Counting, AStopBurstReachesPlainCollectors) {
  REQUIRE_ROOT();
  if (runCommand("command -v nfcapd >/dev/null && command -v nfdump >/dev/null") != 0) {
    if (getenv("CI") != nullptr) FAIL() << "nfcapd is missing: install the Debian package nfdump";
    GTEST_SKIP() << "nfcapd is missing: install the Debian package nfdump";
  }
  Netns monitorNs("vtcnt-m");
  Netns senderNs("vtcnt-s");
  quietLink(monitorNs, senderNs);
  std::string buffer;
  monitorNs.exec("sysctl -n net.core.rmem_default", &buffer);
  EXPECT_EQ(buffer, "212992\n");

  TempDir work, nativeDir, ipfixDir;
  writeFile(work.file("reader.py"), kPlainReader);
  ChildProcess reader;
  ASSERT_TRUE(reader.start({"python3", work.file("reader.py"), "23155"}, work.path, work.file("reader.log"),
                           monitorNs.name));
  ASSERT_TRUE(waitFor([&] { return reader.output().find("buffer") != std::string::npos; }, milliseconds(5000)));
  const std::string flowDir = work.file("nfcapd");
  runCommand("mkdir -p " + flowDir);
  ChildProcess nfcapd;
  ASSERT_TRUE(nfcapd.start({"nfcapd", "-w", flowDir, "-b", "127.0.0.1", "-p", "23156", "-t", "60"}, work.path,
                           work.file("nfcapd.log"), monitorNs.name));
  ASSERT_TRUE(waitFor([&] { return nfcapd.output().find("Startup") != std::string::npos; }, milliseconds(5000)))
      << nfcapd.output();

  ChildProcess nativeMonitor, ipfixMonitor;
  ASSERT_TRUE(startMonitor(nativeMonitor, nativeDir, monitorNs, settings("native", 23155, 23193),
                           "Listener Socket IO controls set!\n"))
      << nativeMonitor.output();
  ASSERT_TRUE(startMonitor(ipfixMonitor, ipfixDir, monitorNs, settings("ipfix", 23156, 23194),
                           "Listener Socket IO controls set!\n"))
      << ipfixMonitor.output();

  // One datagram per flow, each to a port of its own.
  ASSERT_EQ(senderNs.exec("python3 -c 'import socket\n"
                          "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                          "for i in range(" + std::to_string(kStopFlows) + "):\n"
                          "    s.sendto(b\"x\", (\"" + kMonitorSide + "\", 30000 + i))'"),
            0);
  sleepMillis(1000);  // the last packets decoded
  nativeMonitor.signal(SIGHUP);
  ipfixMonitor.signal(SIGHUP);
  ASSERT_NE(nativeMonitor.wait(milliseconds(20000)), -1);
  ASSERT_NE(ipfixMonitor.wait(milliseconds(20000)), -1);
  // The flows sent, and the port-unreachable answers to them.
  unsigned long handed = 0;
  const std::string stopped = nativeMonitor.output();
  ASSERT_EQ(sscanf(stopped.c_str() + stopped.find("Stopped: "), "Stopped: %lu", &handed), 1) << stopped;
  EXPECT_GE(handed, static_cast<unsigned long>(kStopFlows));

  ASSERT_NE(reader.wait(milliseconds(10000)), -1) << reader.output();
  unsigned long records = 0;
  const std::string said = reader.output();
  ASSERT_EQ(sscanf(said.c_str() + said.find("records"), "records %lu", &records), 1) << said;
  // Records of the flows sent; the monitor's other flows are few (none here).
  EXPECT_GE(records * 1000, kStopFlows * 999ul) << said;

  sleepMillis(500);
  nfcapd.signal(SIGTERM);
  ASSERT_NE(nfcapd.wait(milliseconds(10000)), -1) << nfcapd.output();
  std::string listed;
  runCommand("nfdump -R " + flowDir + " -q -o csv 'src ip " + kSenderSide + " and proto udp' 2>&1 | grep -c '^[0-9]'",
             &listed);
  EXPECT_GE(std::stoul(listed.empty() ? "0" : listed) * 1000, kStopFlows * 999ul) << listed;
}

}  // namespace
