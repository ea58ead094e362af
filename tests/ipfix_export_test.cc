// IPFIX export end to end: the export loop of this process sending with
// exportFormat "ipfix" to vantrel-collect, to Debian's nfcapd (read back with
// nfdump) in a network namespace made here, and to a socket of the test whose
// message tshark then decodes. Everything is sent to 127.0.0.1 only.
#include <sys/wait.h>
#include <signal.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "export/collector_output.h"
#include "export/export_sender.h"
#include "export/ipfix.h"
#include "export/serialize.h"
#include "flow/flow_table.h"
#include "flow/ip_text.h"
#include "platform/clock.h"
#include "platform/udp_socket.h"
#include "runtime/settings.h"
#include "runtime/state.h"
#include "tests/support/system_test.h"

namespace {

using std::chrono::milliseconds;

constexpr uint32_t kLoopback = 0x7F000001;

// Outside CI a missing tool skips the test; CI installs them
// (scripts/test-packages.txt), so there it fails.
#define REQUIRE_TOOL(tool, package)                                                                 \
  do {                                                                                               \
    if (runCommand("command -v " tool " >/dev/null 2>&1") != 0) {                                    \
      if (getenv("CI") != nullptr) FAIL() << tool " is missing: install the Debian package " package; \
      GTEST_SKIP() << tool " is missing: install the Debian package " package " to run this test";   \
    }                                                                                                \
  } while (0)

// Sets exportFormat for the runs of one test and removes it again.
struct FormatSetting {
  explicit FormatSetting(const char* name) { setSetting("exportFormat", name); }
  ~FormatSetting() {
    std::lock_guard<std::mutex> lock(settingsMutex);
    settings.removeMember("exportFormat");
  }
};

// One run of exportsender on a thread (inside `ns` when given), its console
// output captured.
struct ExportRun {
  std::thread thread;
  ExportRun(uint16_t port, const Netns* ns = nullptr) {
    setSetting("receiverIP", "127.0.0.1");
    setSetting("receiverPort", port);
    keepSendingExports = true;
    testing::internal::CaptureStdout();
    thread = std::thread([ns] {
      if (ns == nullptr || enterNamespace(*ns)) exportsender();
    });
    EXPECT_TRUE(waitFor([] { return exporterRunning.load(); }, milliseconds(2000)));
  }
  // Stops the run (the records still queued and the last message leave) and
  // returns what it wrote.
  std::string stop() {
    keepSendingExports = false;
    thread.join();
    return testing::internal::GetCapturedStdout();
  }
  ~ExportRun() {
    if (thread.joinable()) stop();
  }
};

void queue(const std::vector<FlowRecord>& records) {
  std::lock_guard<std::mutex> lock(flowTableMutex);
  for (const FlowRecord& r : records) toExport.push_back(r);
}

// A TCP, a UDP and an ICMP flow as capture would finish them, a minute ago.
std::vector<FlowRecord> threeFlows() {
  const uint64_t t = currentTimeMillis() / 1000 * 1000 - 60000 + 123;
  FlowRecord tcp = makeFlowRecord(0, 1, 6, 0x0A000102, 0xC0000207, 50000, 443, 60, 0x02, 0, t, nullptr);
  tcp.lastseen = t + 1500;
  tcp.pkts = 12;
  tcp.bytes = 4200;
  tcp.flags = 0x1B;
  tcp.replydelay = 35;
  tcp.owner = makeOwner("C:/Tools/client.exe", "alice", "HOST1");
  FlowRecord udp = makeFlowRecord(1, 0, 17, 0xC0000207, 0x0A000102, 53, 5353, 76, 0, 46, t + 10, nullptr);
  udp.lastseen = t + 2010;
  udp.pkts = 3;
  udp.bytes = 300;
  udp.owner = makeOwner("svc.exe", std::string(255, 'u'), "NT AUTHORITY");
  FlowRecord icmp = makeFlowRecord(0, 1, 1, 0x0A000102, 0xC0000207, 8, 0, 84, 0, 0, t + 20, nullptr);
  icmp.lastseen = t + 1020;
  icmp.pkts = 2;
  icmp.bytes = 168;
  return {tcp, udp, icmp};
}

// vantrel-collect as a child on 127.0.0.1 at a port it picks.
struct Collector {
  TempDir dir;
  ChildProcess child;
  uint16_t port = 0;

  bool start() {
    if (!child.start({binaryPath("vantrel-collect"), "--listen", "127.0.0.1:0"}, dir.path, dir.file("collect.log"))) {
      return false;
    }
    const std::string marker = "vantrel-collect: listening on 127.0.0.1:";
    if (!waitFor([&] { return child.output().find(marker) != std::string::npos; }, milliseconds(5000))) return false;
    const std::string out = child.output();
    port = uint16_t(std::stoul(out.substr(out.find(marker) + marker.size())));
    return true;
  }
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::istringstream in(child.output());
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line[0] == '{') out.push_back(line);
    }
    return out;
  }
};

TEST(IpfixExport, CollectorPrintsTheSameLinesWhicheverFormatCarriedTheFlows) {
  std::vector<FlowRecord> records;
  for (int i = 0; i < 40; ++i) {  // more than one message's worth
    for (FlowRecord r : threeFlows()) {
      r.srcip += uint32_t(i);
      records.push_back(r);
    }
  }
  std::vector<std::string> expected;
  for (const FlowRecord& r : records) {
    std::string line;
    appendFlowLine(r, CollectorFormat::json, line);
    expected.push_back(line.substr(0, line.size() - 1));
  }
  Collector collector;
  ASSERT_TRUE(collector.start()) << collector.child.output();
  const std::string setUp = "creating exporter socket:\"127.0.0.1\":" + std::to_string(collector.port) +
                            "\ncreated exporter socket \"127.0.0.1\"\nexporter bind socket \"127.0.0.1\"\n";
  for (const char* format : {"native", "ipfix"}) {
    FormatSetting setting(format);
    const size_t before = collector.lines().size();
    const int32_t sentBefore = exportsSent;
    ExportRun run(collector.port);
    queue(records);
    const bool arrived =
        waitFor([&] { return collector.lines().size() >= before + records.size(); }, milliseconds(10000));
    EXPECT_EQ(run.stop(), setUp + "Exiting exportsender\n") << format;
    ASSERT_TRUE(arrived) << format << "\n" << collector.child.output();
    const std::vector<std::string> all = collector.lines();
    EXPECT_EQ(std::vector<std::string>(all.begin() + long(before), all.end()), expected) << format;
    EXPECT_GE(exportsSent - sentBefore, 2) << format << ": one count per message";
  }
  EXPECT_EQ(collector.child.output().find("skipped"), std::string::npos) << collector.child.output();
}

// The "key = value" lines of nfdump's raw output, one map per flow.
std::vector<std::map<std::string, std::string>> nfdumpFlows(const std::string& raw) {
  std::vector<std::map<std::string, std::string>> flows;
  std::istringstream in(raw);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("Flow Record", 0) == 0) flows.emplace_back();
    const size_t eq = line.find(" = ");
    if (flows.empty() || eq == std::string::npos) continue;
    auto trim = [](std::string s) {
      s.erase(0, s.find_first_not_of(' '));
      s.erase(s.find_last_not_of(' ') + 1);
      return s;
    };
    std::string value = trim(line.substr(eq + 3));
    value = value.substr(0, value.find(' '));  // "6 TCP" -> "6", "1700000000123 [...]" -> "1700000000123"
    flows.back()[trim(line.substr(0, eq))] = value;
  }
  return flows;
}

TEST(IpfixExport, NfdumpSeesTheFlows) {
  REQUIRE_ROOT();
  REQUIRE_TOOL("nfcapd", "nfdump");
  REQUIRE_TOOL("nfdump", "nfdump");
  Netns ns("vt-ipfix-nf");
  TempDir dir;
  const std::string flowDir = dir.file("flows");
  ASSERT_EQ(runCommand("mkdir -p " + flowDir), 0);
  ChildProcess nfcapd;
  ASSERT_TRUE(nfcapd.start({"nfcapd", "-w", flowDir, "-b", "127.0.0.1", "-p", "2055", "-t", "60"}, dir.path,
                           dir.file("nfcapd.log"), ns.name));
  ASSERT_TRUE(waitFor([&] { return nfcapd.output().find("Startup") != std::string::npos; }, milliseconds(5000)))
      << nfcapd.output();

  const std::vector<FlowRecord> flows = threeFlows();
  {
    FormatSetting setting("ipfix");
    ExportRun run(2055, &ns);
    queue(flows);
    ASSERT_TRUE(waitFor([] { return toExportSize() == 0; }, milliseconds(2000)));
    run.stop();
  }
  sleepMillis(200);  // the message is in nfcapd's socket by now
  nfcapd.signal(SIGTERM);  // writes and closes its file
  ASSERT_NE(nfcapd.wait(milliseconds(10000)), -1) << nfcapd.output();
  EXPECT_NE(nfcapd.output().find("Flows: 3,"), std::string::npos) << nfcapd.output();

  std::string raw;
  ASSERT_EQ(runCommand("nfdump -R " + flowDir + " -q -o raw 2>&1", &raw), 0) << raw;
  const auto seen = nfdumpFlows(raw);
  ASSERT_EQ(seen.size(), flows.size()) << raw;
  for (const FlowRecord& f : flows) {
    bool found = false;
    for (const auto& flow : seen) {
      auto s = [&](const std::string& key) { return flow.count(key) ? flow.at(key) : "(missing " + key + ")"; };
      if (s("proto") != std::to_string(f.proto)) continue;
      found = true;
      const std::string what = "proto " + std::to_string(f.proto) + "\n" + raw;
      EXPECT_EQ(s("src addr"), ipToDotted(f.srcip)) << what;
      EXPECT_EQ(s("dst addr"), ipToDotted(f.dstip)) << what;
      if (f.proto == 1) {
        EXPECT_EQ(s("ICMP"), std::to_string(f.srcport) + "." + std::to_string(f.dstport)) << what;
      } else {
        EXPECT_EQ(s("src port"), std::to_string(f.srcport)) << what;
        EXPECT_EQ(s("dst port"), std::to_string(f.dstport)) << what;
      }
      EXPECT_EQ(s("in packets"), std::to_string(f.pkts)) << what;
      EXPECT_EQ(s("in bytes"), std::to_string(f.bytes)) << what;
      EXPECT_EQ(s("first"), std::to_string(f.firstseen)) << what;
      EXPECT_EQ(s("last"), std::to_string(f.lastseen)) << what;
      EXPECT_EQ(s("direction"), std::to_string(f.outif)) << what;
      // nfdump takes the TOS byte from ipClassOfService, not from
      // ipDiffServCodePoint, so it shows no DSCP.
      char flags[8];
      snprintf(flags, sizeof flags, "0x%02x", f.flags);
      EXPECT_EQ(s("tcp flags"), flags) << what;
    }
    EXPECT_TRUE(found) << "no flow of protocol " << int(f.proto) << "\n" << raw;
  }
}

// A pcap file (link type raw IPv4) holding `payload` as one UDP datagram
// from 127.0.0.1:40000 to 127.0.0.1:`port`.
std::string pcapOfDatagram(const std::vector<uint8_t>& payload, uint16_t port) {
  std::vector<uint8_t> packet(28 + payload.size());
  uint8_t* ip = packet.data();
  ip[0] = 0x45;
  putU16(ip + 2, uint16_t(packet.size()));
  ip[8] = 64;
  ip[9] = 17;
  putU32(ip + 12, kLoopback);
  putU32(ip + 16, kLoopback);
  uint32_t sum = 0;
  for (int i = 0; i < 20; i += 2) sum += getU16(ip + i);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  putU16(ip + 10, uint16_t(~sum));
  putU16(ip + 20, 40000);
  putU16(ip + 22, port);
  putU16(ip + 24, uint16_t(8 + payload.size()));  // UDP checksum 0: none
  std::copy(payload.begin(), payload.end(), packet.begin() + 28);

  std::string file;
  auto le32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) file += char(v >> (8 * i));
  };
  le32(0xA1B2C3D4);
  le32(2 | (4u << 16));  // version 2.4
  le32(0);
  le32(0);
  le32(65535);
  le32(101);  // LINKTYPE_RAW
  le32(uint32_t(currentTimeMillis() / 1000));
  le32(0);
  le32(uint32_t(packet.size()));
  le32(uint32_t(packet.size()));
  file.append(packet.begin(), packet.end());
  return file;
}

TEST(IpfixExport, TsharkDecodesAMessageWithoutComplaint) {
  REQUIRE_TOOL("tshark", "tshark");
  UdpSocket sock;
  std::string error;
  uint16_t port = 0;
  ASSERT_TRUE(udpOpen(sock, error) && udpBind(sock, kLoopback, 0, error) && udpLocalPort(sock, port, error))
      << error;
  std::vector<uint8_t> message(65536);
  UdpDatagram got;
  {
    FormatSetting setting("ipfix");
    ExportRun run(port);
    queue(threeFlows());
    ASSERT_TRUE(waitFor([] { return toExportSize() == 0; }, milliseconds(2000)));
    run.stop();
    ASSERT_EQ(udpReceive(sock, message.data(), message.size(), 2000, got, error), UdpWait::received) << error;
  }
  udpClose(sock);
  message.resize(got.size);
  ASSERT_EQ(getU16(message.data()), kIpfixVersion);

  TempDir dir;
  writeFile(dir.file("message.pcap"), pcapOfDatagram(message, port));
  const std::string tshark = "tshark -r " + dir.file("message.pcap") + " -d udp.port==" + std::to_string(port) +
                             ",cflow";
  std::string verbose;
  ASSERT_EQ(runCommand(tshark + " -V 2>&1", &verbose), 0) << verbose;
  EXPECT_EQ(verbose.find("Malformed"), std::string::npos) << verbose;
  EXPECT_EQ(verbose.find("Expert Info"), std::string::npos) << verbose;
  EXPECT_NE(verbose.find("Template (Id = 256, Count = 17)"), std::string::npos) << verbose;
  EXPECT_NE(verbose.find("(3 flows)"), std::string::npos) << verbose;
  // The owner elements, shown as bytes under the documentation enterprise number.
  EXPECT_NE(verbose.find("PEN: Example Enterprise Number for Documentation Use (32473)"), std::string::npos);
  EXPECT_NE(verbose.find("Type 2: Value (hex bytes): 61 6c 69 63 65\n"), std::string::npos) << "user alice";
  EXPECT_NE(verbose.find("Type 4: Value (hex bytes): 00 23\n"), std::string::npos) << "reply delay 35";

  std::string fields;
  ASSERT_EQ(runCommand(tshark + " -T fields -E aggregator=, -e cflow.srcaddr -e cflow.dstaddr -e cflow.srcport"
                                " -e cflow.dstport -e cflow.icmp_type_code_ipv4 -e cflow.protocol -e cflow.octets"
                                " -e cflow.packets -e cflow.direction 2>/dev/null",
                       &fields),
            0)
      << fields;
  EXPECT_EQ(fields,
            "10.0.1.2,192.0.2.7,10.0.1.2\t192.0.2.7,10.0.1.2,192.0.2.7\t50000,53,0\t443,5353,0\t"
            "0x0000,0x0000,0x0800\t6,17,1\t4200,300,168\t12,3,2\t1,0,1\n");
}

}  // namespace
