// The export loop of this process sending on loopback in either format, and
// what receives it: vantrel-collect, Debian's nfcapd (read back with nfdump)
// in a namespace made here, and a socket of the test whose message tshark
// then decodes. Everything is sent to 127.0.0.1 only.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <thread>

#include "export/collector_output.h"
#include "export/datagram.h"
#include "export/datagram_builder.h"
#include "export/export_sender.h"
#include "export/sample_records.h"
#include "flow/flow_table.h"
#include "flow/ip_text.h"
#include "platform/clock.h"
#include "platform/udp_socket.h"
#include "runtime/settings.h"
#include "runtime/state.h"
#include "store/flow_store.h"
#include "tests/support/system_test.h"

#include <gmock/gmock.h>

namespace {

using std::chrono::milliseconds;

constexpr uint32_t kLoopback = 0x7F000001;

// A UDP socket of the test's own on 127.0.0.1, at a port the system picks.
struct Receiver {
  UdpSocket sock;
  uint16_t port = 0;
  Receiver() {
    std::string error;
    EXPECT_TRUE(udpOpen(sock, error) && udpBind(sock, kLoopback, 0, error) && udpLocalPort(sock, port, error))
        << error;
  }
  ~Receiver() { udpClose(sock); }
  // The next datagram within `timeout`; false on time-out.
  bool next(std::vector<uint8_t>& datagram, milliseconds timeout) {
    datagram.resize(65536);
    UdpDatagram got;
    std::string error;
    if (udpReceive(sock, datagram.data(), datagram.size(), int(timeout.count()), got, error) != UdpWait::received) {
      return false;
    }
    datagram.resize(got.size);
    return true;
  }
};

// One run of exportsender in `format` on a thread (inside `ns` when given),
// its console output captured. The flow tables start empty.
struct ExportRun {
  std::thread thread;
  explicit ExportRun(int32_t port, const char* format = "native", const Netns* ns = nullptr) {
    resetFlowTables();
    setSetting("receiverIP", "127.0.0.1");
    setSetting("receiverPort", port);
    setSetting("exportFormat", format);
    keepSendingExports = true;
    testing::internal::CaptureStdout();
    thread = std::thread([ns] {
      if (ns == nullptr || enterNamespace(*ns)) exportsender();
    });
    EXPECT_TRUE(waitFor([] { return exporterRunning.load(); }, milliseconds(2000)));
  }
  // Queues `records` for export and waits until the loop has taken them.
  void queue(const std::vector<FlowRecord>& records) { queue(std::vector<FlowEntry>(records.begin(), records.end())); }
  void queue(const std::vector<FlowEntry>& records) {
    {
      std::lock_guard<std::mutex> lock(flowTableMutex);
      for (const FlowEntry& r : records) toExport.push_back(r);
    }
    EXPECT_TRUE(waitFor([] { return toExportSize() == 0; }, milliseconds(2000)));
  }
  // Stops the run (the records still queued and the last datagram leave)
  // and returns what it wrote.
  std::string stop() {
    keepSendingExports = false;
    thread.join();
    return testing::internal::GetCapturedStdout();
  }
  ~ExportRun() {
    if (thread.joinable()) stop();
  }
};

std::string setupMessages(const std::string& port) {
  return "creating exporter socket:\"127.0.0.1\":" + port +
         "\ncreated exporter socket \"127.0.0.1\"\nexporter bind socket \"127.0.0.1\"\n";
}

// A TCP, a UDP (255-byte user) and an ICMP flow as capture would finish
// them, a minute ago.
std::vector<FlowRecord> threeFlows() {
  const uint64_t t = currentTimeMillis() / 1000 * 1000 - 60000 + 123;
  FlowRecord tcp = makeFlowRecord(0, 1, 6, 0x0A000102, 0xC0000207, 50000, 443, 4200, 0x1B, 0, t,
                                  makeOwner("C:/Tools/client.exe", "alice", "HOST1"));
  tcp.lastseen = t + 1500, tcp.pkts = 12, tcp.replydelay = 35;
  FlowRecord udp = makeFlowRecord(1, 0, 17, 0xC0000207, 0x0A000102, 53, 5353, 300, 0, 46, t + 10,
                                  makeOwner("svc.exe", std::string(255, 'u'), "NT AUTHORITY"));
  udp.lastseen = t + 2010, udp.pkts = 3;
  FlowRecord icmp = makeFlowRecord(0, 1, 1, 0x0A000102, 0xC0000207, 8, 0, 168, 0, 0, t + 20, nullptr);
  icmp.lastseen = t + 1020, icmp.pkts = 2;
  return {tcp, udp, icmp};
}

// The three flows, then an IPv6 TCP flow and an ICMPv6 echo request of the
// same times.
std::vector<FlowEntry> fiveFlows() {
  const std::vector<FlowRecord> three = threeFlows();
  std::vector<FlowEntry> five(three.begin(), three.end());
  for (uint8_t proto : {6, 58}) {
    FlowEntry e = three[proto == 6 ? 0 : 2];
    e.family = 6;
    e.srcip = e.dstip = 0;
    parseIp6("2001:db8::10", e.srcip6);
    parseIp6("2001:db8:1::5", e.dstip6);
    e.flowlabel = 0xabcde;
    e.proto = proto;
    if (proto == 58) e.srcport = 128, e.dstport = 0;
    five.push_back(e);
  }
  return five;
}

TEST(ExportLoop, CollectorPrintsEveryRecordInOrderInEitherFormat) {
  std::vector<FlowRecord> records;
  for (int i = 0; i < 40; ++i) {  // several datagrams' worth
    for (FlowRecord r : threeFlows()) {
      r.srcip += uint32_t(i);
      r.tos = uint8_t(i);
      records.push_back(r);
    }
  }
  std::vector<std::string> expected;
  for (const FlowRecord& r : records) {
    std::string line;
    appendFlowLine(r, CollectorFormat::json, line, {kLoopback, 0});
    expected.push_back(line.substr(0, line.size() - 1));
  }
  TempDir dir;
  CollectorProcess collector;
  ASSERT_TRUE(collector.start(dir)) << collector.child.output();
  for (const char* format : {"native", "ipfix"}) {
    const size_t before = collector.lines().size();
    const int32_t sentBefore = exportsSent;
    ExportRun run(collector.port, format);
    run.queue(records);
    const bool arrived =
        waitFor([&] { return collector.lines().size() >= before + records.size(); }, milliseconds(10000));
    EXPECT_EQ(run.stop(), setupMessages(std::to_string(collector.port)) + "Exiting exportsender\n") << format;
    const int32_t sent = exportsSent - sentBefore;
    ASSERT_TRUE(arrived) << format << "\n" << collector.child.output();
    const std::vector<std::string> all = collector.lines();
    EXPECT_EQ(std::vector<std::string>(all.begin() + long(before), all.end()), expected) << format;

    // Every datagram the fill rule sends, and the last, partly filled one.
    int32_t byFillRule = 0;
    DatagramBuilder model([&](const uint8_t*, size_t size) { return ++byFillRule, int64_t(size); },
                          std::string(format) == "ipfix" ? ExportFormat::ipfix : ExportFormat::native);
    for (const FlowRecord& r : records) model.add(r, 0);
    EXPECT_GE(byFillRule, 2) << format;
    EXPECT_EQ(sent, byFillRule + 1) << format;
  }
  EXPECT_EQ(collector.child.output().find("skipped"), std::string::npos) << collector.child.output();
}

TEST(ExportLoop, EndOfRunSendsWhatIsLeft) {
  Receiver receiver;
  const int32_t before = exportsSent;
  ExportRun run(receiver.port);
  run.queue(std::vector<FlowRecord>(10, sampleTcpRecord()));
  std::vector<uint8_t> datagram;
  ASSERT_FALSE(receiver.next(datagram, milliseconds(0)));
  const std::string console = run.stop();
  ASSERT_TRUE(receiver.next(datagram, milliseconds(2000))) << "the last datagram was dropped";
  std::vector<FlowRecord> records;
  std::string error;
  ASSERT_TRUE(decodeDatagram(datagram.data(), datagram.size(), records, error)) << error;
  EXPECT_EQ(records.size(), 10u);
  EXPECT_EQ(exportsSent - before, 1);
  EXPECT_EQ(console, setupMessages(std::to_string(receiver.port)) + "Exiting exportsender\n");
  EXPECT_FALSE(exporterRunning);
}

// The native format leaves IPv6 flows out: the IPv4 ones leave as ever,
// and the console says at once, then at most once a minute, how many went.
TEST(ExportLoop, NativeRunTellsWhatIPv6FlowsItLeftOut) {
  Receiver receiver;
  const uint64_t skipped = exportsSkippedIPv6;
  ExportRun run(receiver.port);
  run.queue(fiveFlows());
  EXPECT_TRUE(waitFor([&] { return exportsSkippedIPv6 - skipped == 2; }, milliseconds(2000)));
  sleepMillis(300);
  run.queue(fiveFlows());
  const std::string console = run.stop();
  std::vector<uint8_t> datagram;
  std::vector<FlowRecord> records;
  std::string error;
  ASSERT_TRUE(receiver.next(datagram, milliseconds(2000)));
  ASSERT_TRUE(decodeDatagram(datagram.data(), datagram.size(), records, error)) << error;
  EXPECT_EQ(records.size(), 6u);
  const std::string line = "Export left out 2 IPv6 flows: the native format carries IPv4 only; exportFormat "
                           "\"ipfix\" carries IPv6 too\n";
  EXPECT_EQ(console, setupMessages(std::to_string(receiver.port)) + line + line + "Exiting exportsender\n");
}

TEST(ExportLoop, PortOutsideOneTo65535IsRefusedForTheDefault) {
  ExportRun run(3 * 65536 + 9);
  EXPECT_EQ(run.stop(), "Setting receiverPort should be a port number from 1 to 65535 but holds 196617; using 2055\n" +
                            setupMessages("2055") + "Exiting exportsender\n");
  EXPECT_FALSE(exporterRunning);
}

TEST(ExportLoopDeathTest, SocketThatCannotBeCreatedEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  setSetting("receiverIP", "127.0.0.1");
  setSetting("receiverPort", 9);
  auto runOutOfDescriptors = [] {
    rlimit limit{32, 32};
    setrlimit(RLIMIT_NOFILE, &limit);
    while (open("/dev/null", O_RDONLY) >= 0) {
    }
    exportsender();
  };
  EXPECT_EXIT(runOutOfDescriptors(), testing::ExitedWithCode(1),
              testing::EndsWith("Failed to create socket: Too many open files\n"));
}

TEST(Collector, CsvHeaderOnceAndMalformedDatagramsReportedAndSkipped) {
  TempDir dir;
  CollectorProcess collector;
  ASSERT_TRUE(collector.start(dir, "127.0.0.1:0", "", {"--format", "csv"})) << collector.child.output();
  UdpSocket sender;
  std::string error;
  ASSERT_TRUE(udpOpen(sender, error) && udpBind(sender, kLoopback, 0, error)) << error;
  std::vector<uint8_t> bad = kSampleDatagram;
  bad[1] = 1;
  for (const std::vector<uint8_t>& d : {bad, kSampleDatagram, kSampleDatagram}) {
    udpSendTo(sender, d.data(), d.size(), kLoopback, collector.port);
  }
  udpClose(sender);
  ASSERT_TRUE(waitFor([&] { return collector.lines('0').size() == 2; }, milliseconds(5000)))
      << collector.child.output();
  EXPECT_EQ(collector.lines('i'), std::vector<std::string>{
      "inif,outif,firstseen,lastseen,srcip,dstip,srcport,dstport,pkts,bytes,flags,tos,proto,processname,user,"
      "domain,replydelay,exporter,obsdomain,peername,namesource,service,container"});
  EXPECT_EQ(collector.lines('0')[0],
            "0,1,1700000000000,1700000001500,192.168.1.10,203.0.113.5,50000,443,12,4200,27,0,6,"
            "\"C:/Tools/client.exe\",\"alice\",\"HOST1\",35,127.0.0.1,0,\"\",\"\",\"\",\"\"");
  EXPECT_THAT(collector.child.output(), testing::HasSubstr("vantrel-collect: malformed datagram from 127.0.0.1:"));
}

TEST(Collector, BurstOfDatagramsIsNotLost) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root (a receive queue beyond net.core.rmem_max)";
  TempDir dir;
  CollectorProcess collector;
  ASSERT_TRUE(collector.start(dir)) << collector.child.output();
  UdpSocket sender;
  std::string error;
  ASSERT_TRUE(udpOpen(sender, error) && udpBind(sender, kLoopback, 0, error)) << error;
  // Back to back, as a sweep that finishes many flows at once sends them.
  constexpr size_t kBurst = 5000;
  for (size_t i = 0; i < kBurst; ++i) {
    udpSendTo(sender, kSampleDatagram.data(), kSampleDatagram.size(), kLoopback, collector.port);
  }
  udpClose(sender);
  EXPECT_TRUE(waitFor([&] { return collector.lines().size() == kBurst; }, milliseconds(10000)))
      << collector.lines().size() << " of " << kBurst << " records";
}

TEST(Collector, HelpAndBadArguments) {
  std::string out;
  EXPECT_EQ(runCommand(binaryPath("vantrel-collect") + " --help", &out), 0);
  EXPECT_EQ(out.rfind("Usage: vantrel-collect [--listen ADDR:PORT] [--listen-tcp ADDR:PORT] [--format json|csv]\n", 0),
            0u)
      << out;
  for (const char* args : {"--format xml", "--listen 127.0.0.1", "--listen 127.0.0.1:65536", "--listen host:1",
                           "--listen 999.1.1.1:80", "--listen-tcp 127.0.0.1", "--queue-mb 0", "--verbose"}) {
    EXPECT_EQ(runCommand(binaryPath("vantrel-collect") + " " + args + " 2>&1", &out), 2) << args;
    EXPECT_EQ(out.substr(0, out.find('\n')), "vantrel-collect: bad argument '" + std::string(args) + "'");
  }
}

// The "key = value" lines of nfdump's raw output, one map per flow; of each
// value the first word ("6 TCP" -> "6").
std::vector<std::map<std::string, std::string>> nfdumpFlows(const std::string& raw) {
  std::vector<std::map<std::string, std::string>> flows;
  std::istringstream in(raw);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("Flow Record", 0) == 0) flows.emplace_back();
    const size_t eq = line.find(" = ");
    if (flows.empty() || eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value;
    std::istringstream(line.substr(eq + 3)) >> value;
    key.erase(0, key.find_first_not_of(' '));
    key.erase(key.find_last_not_of(' ') + 1);
    flows.back()[key] = value;
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

  std::vector<FlowEntry> flows = fiveFlows();
  flows[0].peer = PeerName::make("a.example", NameSource::kTls);  // nfdump skips the name elements
  {
    ExportRun run(2055, "ipfix", &ns);
    run.queue(flows);
  }
  sleepMillis(200);  // the message is in nfcapd's socket by now
  nfcapd.signal(SIGTERM);  // writes and closes its file
  ASSERT_NE(nfcapd.wait(milliseconds(10000)), -1) << nfcapd.output();
  EXPECT_NE(nfcapd.output().find("Flows: 5,"), std::string::npos) << nfcapd.output();

  std::string raw;
  ASSERT_EQ(runCommand("nfdump -R " + flowDir + " -q -o raw 2>&1", &raw), 0) << raw;
  const auto seen = nfdumpFlows(raw);
  ASSERT_EQ(seen.size(), flows.size()) << raw;
  for (const FlowEntry& f : flows) {
    const std::string src = f.ipv6() ? ip6Text(f.srcip6) : ipToDotted(f.srcip);
    const auto flow = std::find_if(seen.begin(), seen.end(), [&](const auto& s) {
      return s.count("proto") && s.at("proto") == std::to_string(f.proto) && s.count("src addr") &&
             s.at("src addr") == src;
    });
    ASSERT_NE(flow, seen.end()) << "no flow of protocol " << int(f.proto) << " from " << src << "\n" << raw;
    std::map<std::string, std::string> want = {
        {"src addr", src}, {"dst addr", f.ipv6() ? ip6Text(f.dstip6) : ipToDotted(f.dstip)},
        {"in packets", std::to_string(f.pkts)},    {"in bytes", std::to_string(f.bytes)},
        {"first", std::to_string(f.firstseen)},    {"last", std::to_string(f.lastseen)},
        {"direction", std::to_string(f.outif)},
    };
    if (f.proto == 1 || f.proto == 58) {
      want["ICMP"] = std::to_string(f.srcport) + "." + std::to_string(f.dstport);
    } else {
      want["src port"] = std::to_string(f.srcport);
      want["dst port"] = std::to_string(f.dstport);
    }
    // nfdump takes the TOS byte from ipClassOfService, not from
    // ipDiffServCodePoint, so it shows no DSCP.
    char flags[8];
    snprintf(flags, sizeof flags, "0x%02x", f.flags);
    want["tcp flags"] = flags;
    for (const auto& [key, value] : want) {
      EXPECT_EQ(flow->count(key) ? flow->at(key) : "(missing)", value) << key << " of proto " << int(f.proto);
    }
  }
}

TEST(IpfixExport, NfacctdReadsTheFlows) {
  REQUIRE_ROOT();
  REQUIRE_TOOL("nfacctd", "pmacct");
  Netns ns("vt-ipfix-pm");
  TempDir dir;
  const std::string out = dir.file("flows.csv");
  writeFile(dir.file("nfacctd.conf"), "daemonize: false\nnfacctd_ip: 127.0.0.1\nnfacctd_port: 2055\n"
                                      "plugins: print\nprint_output: csv\nprint_output_file: " + out +
                                      "\nprint_refresh_time: 1\n"
                                      "aggregate: src_host, dst_host, src_port, dst_port, proto\n");
  ChildProcess nfacctd;
  ASSERT_TRUE(nfacctd.start({"nfacctd", "-f", dir.file("nfacctd.conf")}, dir.path, dir.file("nfacctd.log"), ns.name));
  sleepMillis(1000);  // listening by now

  const std::vector<FlowEntry> flows = fiveFlows();
  {
    ExportRun run(2055, "ipfix", &ns);
    run.queue(flows);
  }
  std::string csv;
  EXPECT_TRUE(waitFor([&] { return countOf(csv = readFile(out), "\n") > flows.size(); }, milliseconds(10000)))
      << csv << nfacctd.output();
  nfacctd.signal(SIGTERM);
  nfacctd.wait(milliseconds(5000));
  for (const FlowEntry& f : flows) {
    const std::string src = f.ipv6() ? ip6Text(f.srcip6) : ipToDotted(f.srcip);
    const std::string dst = f.ipv6() ? ip6Text(f.dstip6) : ipToDotted(f.dstip);
    const bool ported = f.proto == 6 || f.proto == 17;
    // SRC_IP,DST_IP,SRC_PORT,DST_PORT,PROTOCOL,PACKETS,BYTES
    const std::string row = src + "," + dst + "," + std::to_string(ported ? f.srcport : 0) + "," +
                            std::to_string(ported ? f.dstport : 0) + ",";
    const size_t at = csv.find(row);
    ASSERT_NE(at, std::string::npos) << row << "\n" << csv;
    const std::string line = csv.substr(at, csv.find('\n', at) - at);
    EXPECT_THAT(line, testing::EndsWith("," + std::to_string(f.pkts) + "," + std::to_string(f.bytes))) << line;
  }
}

// Record `i` of a run: its source address and port say which it is.
FlowEntry numberedFlow(uint32_t i, uint64_t t) {
  FlowRecord r = makeFlowRecord(0, 1, 17, 0x0A000000 + i / 60000, 0xC0000207, uint16_t(1 + i % 60000), 53, 100, 0, 0,
                                t, makeOwner("resolver", "u", "HOST"));
  r.lastseen = t;
  return r;
}

// Queues records `from` to `to` - 1 for export, as the flow tables do.
void finishFlows(uint32_t from, uint32_t to) {
  const uint64_t t = currentTimeMillis();
  std::lock_guard<std::mutex> lock(flowTableMutex);
  for (uint32_t i = from; i < to; ++i) toExport.push_back(numberedFlow(i, t));
}

TEST(IpfixOverTcp, ACollectorStoppedForFiveSecondsLosesNothingAndRepeatsNothing) {
  REQUIRE_ROOT();
  Netns ns("vt-coll-tcp");
  TempDir dir;
  const std::string file = dir.file("flows.sqlite");
  const std::vector<std::string> args = {"--listen-tcp", "127.0.0.1:47390", "--store", file, "--keep", "0"};
  auto startCollector = [&](CollectorProcess& c, TempDir& logs) {
    ASSERT_TRUE(c.start(logs, "", ns.name, args)) << c.child.output();
  };
  auto stopCollector = [&](CollectorProcess& c) {
    c.child.signal(SIGTERM);
    ASSERT_NE(c.child.wait(milliseconds(20000)), -1);
    EXPECT_THAT(c.child.output(), testing::Not(testing::HasSubstr("dropped the connection"))) << c.child.output();
  };

  // Steady traffic: 20 records every 20 ms; the collector is away for five
  // seconds in the middle.
  setSetting("exportTransport", "tcp");
  uint32_t queued = 0;
  {
    TempDir logs1, logs2, logs3;
    CollectorProcess first, second, third;
    startCollector(first, logs1);
    ExportRun run(47390, "ipfix", &ns);
    auto steady = [&](int millis) {
      for (int t = 0; t < millis; t += 20, queued += 20) {
        finishFlows(queued, queued + 20);
        sleepMillis(20);
      }
    };
    steady(1500);
    stopCollector(first);
    steady(5000);
    startCollector(second, logs2);
    steady(2000);
    // A stop burst while the collector is away: the run's end waits for it.
    stopCollector(second);
    finishFlows(queued, queued + 100000);
    queued += 100000;
    std::thread later([&] {
      sleepMillis(5000);
      startCollector(third, logs3);
    });
    const std::string console = run.stop();
    later.join();
    EXPECT_THAT(console, testing::HasSubstr("Export connected to 127.0.0.1:47390\n"));
    EXPECT_THAT(console, testing::Not(testing::HasSubstr("not delivered"))) << console;
    stopCollector(third);
  }
  setSetting("exportTransport", "udp");

  StoreOpenFailure failure;
  std::string error;
  auto store = openFlowStore(file, false, failure, error);
  ASSERT_TRUE(store) << error;
  std::vector<uint32_t> seen(queued, 0);
  size_t rows = 0;
  ASSERT_TRUE(store->queryFlows(
      FlowQuery{},
      [&](const StoredFlow& f) {
        ++rows;
        const uint32_t src = uint32_t(f.srcip.bytes[2]) << 8 | f.srcip.bytes[3];
        const uint32_t i = src * 60000 + f.srcport - 1;
        if (i < queued) ++seen[i];
      },
      error))
      << error;
  EXPECT_EQ(rows, queued);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), ptrdiff_t(queued)) << "every record once";
}

TEST(IpfixOverTcp, JunkOrAStalledPeerIsDroppedWithoutHoldingUpTheOthers) {
  TempDir dir;
  CollectorProcess collector;
  ASSERT_TRUE(collector.start(dir, "", "", {"--listen-tcp", "127.0.0.1:0"})) << collector.child.output();
  auto connectToCollector = [&] {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in to = endpoint("127.0.0.1", collector.port);
    EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    return fd;
  };
  std::vector<uint8_t> messages;
  DatagramBuilder builder(
      [&](const uint8_t* data, size_t size) {
        messages.insert(messages.end(), data, data + size);
        return int64_t(size);
      },
      ExportFormat::ipfix);
  for (const FlowRecord& r : threeFlows()) builder.add(r, 0);
  builder.sendPending();

  const int junk = connectToCollector(), stalled = connectToCollector(), good = connectToCollector();
  const std::string http = "GET / HTTP/1.1\r\n\r\n";
  ASSERT_EQ(send(junk, http.data(), http.size(), 0), ssize_t(http.size()));
  ASSERT_EQ(send(stalled, messages.data(), 40, 0), 40);
  ASSERT_EQ(send(good, messages.data(), messages.size(), 0), ssize_t(messages.size()));
  EXPECT_TRUE(waitFor([&] { return collector.flows().size() == 3; }, milliseconds(5000))) << collector.child.output();
  EXPECT_THAT(collector.child.output(), testing::HasSubstr(": version 18245, expected 10\n"));
  EXPECT_TRUE(waitFor([&] { return collector.child.output().find(": no whole message for 10 s\n") != std::string::npos; },
                      milliseconds(15000)))
      << collector.child.output();
  EXPECT_EQ(countOf(collector.child.output(), "vantrel-collect: dropped the connection from 127.0.0.1:"), 2u);
  // The good exporter is still heard.
  ASSERT_EQ(send(good, messages.data(), messages.size(), 0), ssize_t(messages.size()));
  EXPECT_TRUE(waitFor([&] { return collector.flows().size() == 6; }, milliseconds(5000))) << collector.child.output();
  for (int fd : {junk, stalled, good}) close(fd);
  collector.child.signal(SIGTERM);
  EXPECT_NE(collector.child.wait(milliseconds(10000)), -1);
}

// One collector on a UDP and a TCP port at once, into its output and its
// store: the monitor's stream and another exporter's datagrams, sent at the
// same time, each arrive once, every line whole.
TEST(IpfixOverTcp, UdpAndTcpServedTogetherLoseAndRepeatNothing) {
  TempDir dir;
  CollectorProcess collector;
  const std::string file = dir.file("flows.sqlite");
  ASSERT_TRUE(collector.start(dir, "127.0.0.1:0", "",
                              {"--listen-tcp", "127.0.0.1:0", "--store", file, "--format", "json", "--keep", "0"}))
      << collector.child.output();
  ASSERT_NE(collector.tcpPort, 0);
  ASSERT_NE(collector.port, collector.tcpPort);

  constexpr uint32_t kEach = 3000, kUdpFirst = 120000;  // the datagrams' flows come from 10.0.0.2
  setSetting("exportTransport", "tcp");
  {
    ExportRun run(collector.tcpPort, "ipfix");
    std::thread datagrams([&] {
      UdpSocket sender;
      std::string error;
      ASSERT_TRUE(udpOpen(sender, error)) << error;
      DatagramBuilder builder(
          [&](const uint8_t* data, size_t size) { return udpSendTo(sender, data, size, kLoopback, collector.port); },
          ExportFormat::ipfix);
      const uint64_t t = currentTimeMillis();
      for (uint32_t i = kUdpFirst; i < kUdpFirst + kEach; ++i) {
        builder.add(numberedFlow(i, t), t);
        if (i % 100 == 0) sleepMillis(1);
      }
      builder.sendPending();
      udpClose(sender);
    });
    for (uint32_t i = 0; i < kEach; i += 100) {
      finishFlows(i, i + 100);
      sleepMillis(2);
    }
    datagrams.join();
    EXPECT_THAT(run.stop(), testing::HasSubstr("Export connected to 127.0.0.1:" + std::to_string(collector.tcpPort)));
  }
  setSetting("exportTransport", "udp");
  EXPECT_TRUE(waitFor([&] { return collector.lines().size() >= 2 * kEach; }, milliseconds(10000)))
      << collector.lines().size();
  collector.child.signal(SIGTERM);
  ASSERT_EQ(collector.child.wait(milliseconds(10000)), 0) << collector.child.output();

  auto indexOf = [](uint32_t src, uint32_t srcport) { return (src & 0xFFFF) * 60000 + srcport - 1; };
  std::map<uint32_t, int> printed;
  for (const Json::Value& flow : collector.flows()) {
    uint32_t src = 0;
    ASSERT_TRUE(ipv4FromText(flow["srcip"].asString(), src)) << flow;
    ++printed[indexOf(src, flow["srcport"].asUInt())];
  }
  std::map<uint32_t, int> stored;
  StoreOpenFailure failure;
  std::string error;
  auto store = openFlowStore(file, false, failure, error);
  ASSERT_TRUE(store) << error;
  ASSERT_TRUE(store->queryFlows(
      FlowQuery{},
      [&](const StoredFlow& f) { ++stored[indexOf(uint32_t(f.srcip.bytes[2]) << 8 | f.srcip.bytes[3], f.srcport)]; },
      error))
      << error;
  for (const auto* seen : {&printed, &stored}) {
    EXPECT_EQ(seen->size(), 2 * kEach);
    EXPECT_EQ(std::count_if(seen->begin(), seen->end(),
                            [&](const auto& e) { return e.second == 1 && (e.first < kEach || e.first >= kUdpFirst); }),
              ptrdiff_t(2 * kEach))
        << "every record once";
  }
}

TEST(IpfixExport, TsharkDecodesAMessageWithoutComplaint) {
  REQUIRE_TOOL("tshark", "tshark");
  REQUIRE_TOOL("text2pcap", "tshark");
  Receiver receiver;
  std::vector<uint8_t> message;
  {
    ExportRun run(receiver.port, "ipfix");
    std::vector<FlowEntry> flows = fiveFlows();
    flows[0].peer = PeerName::make("a.example", NameSource::kTls);
    run.queue(flows);
    run.stop();
    ASSERT_TRUE(receiver.next(message, milliseconds(2000)));
  }
  ASSERT_EQ(getU16(message.data()), kIpfixVersion);

  // The message as a UDP datagram 127.0.0.1:40000 -> 127.0.0.1:port in a capture file.
  TempDir dir;
  writeFile(dir.file("message"), std::string(message.begin(), message.end()));
  ASSERT_EQ(runCommand("od -Ax -tx1 -v " + dir.file("message") + " | text2pcap -q -4 127.0.0.1,127.0.0.1 -u 40000," +
                       std::to_string(receiver.port) + " - " + dir.file("message.pcap")),
            0);
  const std::string tshark = "tshark -r " + dir.file("message.pcap") + " -d udp.port==" +
                             std::to_string(receiver.port) + ",cflow";
  std::string verbose;
  ASSERT_EQ(runCommand(tshark + " -V 2>&1", &verbose), 0) << verbose;
  EXPECT_EQ(verbose.find("Malformed"), std::string::npos) << verbose;
  EXPECT_EQ(verbose.find("Expert Info"), std::string::npos) << verbose;
  for (const char* shown : {"Template (Id = 256, Count = 21)", "(3 flows)", "Template (Id = 257, Count = 22)",
                            "(2 flows)",
                            // The owner elements, as bytes under the documentation enterprise number.
                            "PEN: Example Enterprise Number for Documentation Use (32473)",
                            "Type 2: Value (hex bytes): 61 6c 69 63 65\n",  // user alice
                            "Type 4: Value (hex bytes): 00 23\n",          // reply delay 35
                            "Type 5: Value (hex bytes): 61 2e 65 78 61 6d 70 6c 65\n",  // peer name a.example
                            "Type 6: Value (hex bytes): 74 6c 73\n"}) {     // from tls
    EXPECT_NE(verbose.find(shown), std::string::npos) << shown << "\n" << verbose;
  }

  std::string fields;
  ASSERT_EQ(runCommand(tshark + " -T fields -E aggregator=, -e cflow.srcaddr -e cflow.dstaddr -e cflow.srcport"
                                " -e cflow.dstport -e cflow.icmp_type_code_ipv4 -e cflow.protocol -e cflow.octets"
                                " -e cflow.packets -e cflow.direction 2>/dev/null",
                       &fields),
            0)
      << fields;
  EXPECT_EQ(fields,
            "10.0.1.2,192.0.2.7,10.0.1.2\t192.0.2.7,10.0.1.2,192.0.2.7\t50000,53,0,50000,0\t443,5353,0,443,0\t"
            "0x0000,0x0000,0x0800\t6,17,1,6,58\t4200,300,168,4200,168\t12,3,2,12,2\t1,0,1,1,1\n");
  ASSERT_EQ(runCommand(tshark + " -T fields -E aggregator=, -e cflow.srcaddrv6 -e cflow.dstaddrv6"
                                " -e cflow.ipv6flowlabel -e cflow.icmp_ipv6_type 2>/dev/null",
                       &fields),
            0)
      << fields;
  // The IPv6 records: their ends, flow label 0xabcde, an echo request's type.
  EXPECT_EQ(fields, "2001:db8::10,2001:db8::10\t2001:db8:1::5,2001:db8:1::5\t703710,703710\t0,128\n");
}

}  // namespace
