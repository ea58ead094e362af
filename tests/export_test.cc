// The export loop sending on loopback, and vantrel-collect receiving: the
// loop runs in this process on a thread; the collector runs as a child.
// Everything is sent to 127.0.0.1 only.
#include <sys/resource.h>
#include <fcntl.h>
#include <unistd.h>

#include <random>
#include <sstream>
#include <thread>

#include "export/collector_output.h"
#include "export/datagram.h"
#include "export/datagram_builder.h"
#include "export/export_sender.h"
#include "export/sample_records.h"
#include "flow/flow_table.h"
#include "platform/udp_socket.h"
#include "runtime/settings.h"
#include "runtime/state.h"
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

  // The next datagram within `timeout`, decoded; false on time-out.
  bool next(std::vector<FlowRecord>& records, milliseconds timeout) {
    uint8_t buffer[65536];
    UdpDatagram got;
    std::string error;
    if (udpReceive(sock, buffer, sizeof buffer, int(timeout.count()), got, error) != UdpWait::received) {
      return false;
    }
    EXPECT_TRUE(decodeDatagram(buffer, got.size, records, error)) << error;
    return true;
  }
};

// One run of exportsender on a thread, its console output captured.
struct ExportRun {
  std::thread thread;
  explicit ExportRun(int32_t port, const char* ip = "127.0.0.1") {
    setSetting("receiverIP", ip);
    setSetting("receiverPort", port);
    keepSendingExports = true;
    testing::internal::CaptureStdout();
    thread = std::thread(exportsender);
    EXPECT_TRUE(waitFor([] { return exporterRunning.load(); }, milliseconds(2000)));
  }
  // Stops the run and returns what it wrote.
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

bool exportsTaken() { return toExportSize() == 0; }

std::string setupMessages(const std::string& port) {
  return "creating exporter socket:\"127.0.0.1\":" + port +
         "\n"
         "created exporter socket \"127.0.0.1\"\n"
         "exporter bind socket \"127.0.0.1\"\n";
}

// Records of every kind of length: ICMP-like, short owners, 255-byte user.
std::vector<FlowRecord> mixedRecords(size_t n) {
  std::vector<FlowRecord> out;
  for (size_t i = 0; i < n; ++i) {
    FlowRecord r = sampleTcpRecord();
    r.srcip = 0x0A000000u + uint32_t(i);
    r.srcport = uint16_t(1000 + i);
    r.firstseen += i;
    r.lastseen += 2 * i;
    r.pkts = int32_t(i + 1);
    r.bytes = int32_t(i * 1000);
    r.flags = uint8_t(i);
    r.tos = uint8_t(i % 64);
    switch (i % 4) {
      case 0: r.owner = nullptr; r.proto = 1; r.replydelay = 0; break;
      case 1: break;
      case 2: r.owner = makeOwner("svc.exe", std::string(255, 'u'), "D"); break;
      case 3: r.owner = makeOwner("p" + std::to_string(i), "", "WORKGROUP"); r.proto = 17; break;
    }
    out.push_back(r);
  }
  return out;
}

// vantrel-collect as a child on 127.0.0.1 at a port it picks; standard
// output and error go to one log (the collector writes each line whole).
struct Collector {
  TempDir dir;
  ChildProcess child;
  uint16_t port = 0;
  UdpSocket sender;

  bool start(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {binaryPath("vantrel-collect"), "--listen", "127.0.0.1:0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    if (!child.start(argv, dir.path, dir.file("collect.log"))) return false;
    const std::string marker = "vantrel-collect: listening on 127.0.0.1:";
    if (!waitFor([&] { return child.output().find(marker) != std::string::npos; }, milliseconds(5000))) return false;
    const std::string out = child.output();
    port = uint16_t(std::stoul(out.substr(out.find(marker) + marker.size())));
    std::string error;
    return udpOpen(sender, error) && udpBind(sender, kLoopback, 0, error);
  }
  ~Collector() { udpClose(sender); }

  void send(const std::vector<uint8_t>& datagram) {
    udpSendTo(sender, datagram.data(), datagram.size(), kLoopback, port);
  }
  // The lines of standard output that begin with `first`.
  std::vector<std::string> lines(char first = '{') const {
    std::vector<std::string> out;
    std::istringstream in(child.output());
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line[0] == first) out.push_back(line);
    }
    return out;
  }
};

TEST(ExportLoop, RecordsReachTheCollectorInOrderWithEveryField) {
  Collector collector;
  ASSERT_TRUE(collector.start()) << collector.child.output();
  const std::vector<FlowRecord> records = mixedRecords(100);
  const int32_t before = exportsSent;
  std::string console;
  {
    ExportRun run(collector.port);
    queue(records);
    EXPECT_TRUE(waitFor([&] { return collector.lines().size() >= records.size(); }, milliseconds(10000)))
        << collector.child.output();
    console = run.stop();
  }
  EXPECT_EQ(console, setupMessages(std::to_string(collector.port)) + "Exiting exportsender\n");

  const int32_t sent = exportsSent - before;

  const std::vector<std::string> lines = collector.lines();
  ASSERT_EQ(lines.size(), records.size()) << collector.child.output();
  for (size_t i = 0; i < records.size(); ++i) {
    std::string expected;
    appendFlowLine(records[i], CollectorFormat::json, expected);
    EXPECT_EQ(lines[i] + "\n", expected) << "line " << i;
  }
  // Every datagram the fill rule sends, and the last, partly filled one.
  int32_t byFillRule = 0;
  DatagramBuilder model([&](const uint8_t*, size_t size) {
    ++byFillRule;
    return static_cast<int64_t>(size);
  });
  for (const FlowRecord& r : records) model.add(r, 0);
  EXPECT_GE(byFillRule, 5);
  EXPECT_EQ(sent, byFillRule + 1);
}

TEST(ExportLoop, PartlyFilledDatagramLeavesAfterOneSecond) {
  Receiver receiver;
  ExportRun run(receiver.port);
  queue(std::vector<FlowRecord>(10, sampleTcpRecord()));
  ASSERT_TRUE(waitFor(exportsTaken, milliseconds(2000)));
  std::vector<FlowRecord> records;
  EXPECT_FALSE(receiver.next(records, milliseconds(700))) << "sent before a second had passed";
  ASSERT_TRUE(receiver.next(records, milliseconds(5000))) << "never sent";
  EXPECT_EQ(records.size(), 10u);
  EXPECT_TRUE(exporterRunning) << "sent by the clock, not by the end of the run";
  run.stop();
  EXPECT_FALSE(receiver.next(records, milliseconds(300))) << "sent twice";
}

TEST(ExportLoop, EndOfRunSendsWhatIsLeft) {
  Receiver receiver;
  const int32_t before = exportsSent;
  ExportRun run(receiver.port);
  queue(std::vector<FlowRecord>(10, sampleTcpRecord()));
  ASSERT_TRUE(waitFor(exportsTaken, milliseconds(2000)));
  std::vector<FlowRecord> records;
  ASSERT_FALSE(receiver.next(records, milliseconds(0)));
  const std::string console = run.stop();
  ASSERT_TRUE(receiver.next(records, milliseconds(2000))) << "the last datagram was dropped";
  EXPECT_EQ(records.size(), 10u);
  EXPECT_EQ(exportsSent - before, 1);
  EXPECT_EQ(console, setupMessages(std::to_string(receiver.port)) + "Exiting exportsender\n");
  EXPECT_FALSE(exporterRunning);
}

TEST(ExportLoop, PortOutsideOneTo65535IsRefusedForTheDefault) {
  ExportRun run(3 * 65536 + 9);
  EXPECT_EQ(run.stop(), "Setting receiverPort should be a port number from 1 to 65535 but holds 196617; using 2055\n" +
                            setupMessages("2055") + "Exiting exportsender\n");
}

TEST(ExportLoop, StoppedBeforeTheFirstPass) {
  setSetting("receiverIP", "127.0.0.1");
  setSetting("receiverPort", 9);
  keepSendingExports = false;
  testing::internal::CaptureStdout();
  exportsender();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), setupMessages("9") + "Exiting exportsender\n");
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

TEST(Collector, SampleDatagramBecomesOneJsonLine) {
  Collector collector;
  ASSERT_TRUE(collector.start()) << collector.child.output();
  collector.send(kSampleDatagram);
  ASSERT_TRUE(waitFor([&] { return !collector.lines().empty(); }, milliseconds(5000))) << collector.child.output();
  EXPECT_EQ(collector.lines(), std::vector<std::string>{
      "{\"bytes\":4200,\"domain\":\"HOST1\",\"dstip\":\"203.0.113.5\",\"dstport\":443,\"firstseen\":1700000000000,"
      "\"flags\":27,\"inif\":0,\"lastseen\":1700000001500,\"outif\":1,\"pkts\":12,"
      "\"processname\":\"C:/Tools/client.exe\",\"proto\":6,\"replydelay\":35,\"srcip\":\"192.168.1.10\","
      "\"srcport\":50000,\"tos\":0,\"user\":\"alice\"}"});
}

TEST(Collector, CsvHasAHeaderLine) {
  Collector collector;
  ASSERT_TRUE(collector.start({"--format", "csv"})) << collector.child.output();
  collector.send(kSampleDatagram);
  ASSERT_TRUE(waitFor([&] { return !collector.lines('0').empty(); }, milliseconds(5000)))
      << collector.child.output();
  EXPECT_EQ(collector.lines('i'), std::vector<std::string>{
      "inif,outif,firstseen,lastseen,srcip,dstip,srcport,dstport,pkts,bytes,flags,tos,proto,processname,user,"
      "domain,replydelay"});
  EXPECT_EQ(collector.lines('0'), std::vector<std::string>{
      "0,1,1700000000000,1700000001500,192.168.1.10,203.0.113.5,50000,443,12,4200,27,0,6,"
      "\"C:/Tools/client.exe\",\"alice\",\"HOST1\",35"});
}

TEST(Collector, BurstOfDatagramsIsNotLost) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root (a receive queue beyond net.core.rmem_max)";
  Collector collector;
  ASSERT_TRUE(collector.start()) << collector.child.output();
  // Back to back, as a sweep that finishes many flows at once sends them.
  constexpr size_t kBurst = 5000;
  for (size_t i = 0; i < kBurst; ++i) collector.send(kSampleDatagram);
  EXPECT_TRUE(waitFor([&] { return collector.lines().size() == kBurst; }, milliseconds(10000)))
      << collector.lines().size() << " of " << kBurst << " records";
}

TEST(Collector, SurvivesRandomBytesAndStillDecodes) {
  Collector collector;
  ASSERT_TRUE(collector.start()) << collector.child.output();
  const unsigned seed = std::random_device{}();
  std::mt19937 rng(seed);
  for (int i = 0; i < 400; ++i) {
    std::vector<uint8_t> junk(rng() % 1500);
    for (uint8_t& b : junk) b = uint8_t(rng());
    if (i % 2 == 0 && junk.size() >= 4) junk[0] = 0, junk[1] = 2;  // a good version, the rest random
    if (i % 5 == 0) {  // a good datagram with one byte changed
      junk = kSampleDatagram;
      junk[rng() % junk.size()] = uint8_t(rng());
    }
    collector.send(junk);
    if (i % 50 == 49) std::this_thread::sleep_for(milliseconds(20));  // keep within the receive buffer
  }
  collector.send(kSampleDatagram);
  const std::string expected = "\"srcip\":\"192.168.1.10\"";
  ASSERT_TRUE(waitFor([&] {
    for (const std::string& line : collector.lines())
      if (line.find(expected) != std::string::npos && line.find("\"user\":\"alice\"") != std::string::npos)
        return true;
    return false;
  }, milliseconds(5000))) << "seed " << seed << "\n" << collector.child.output().substr(0, 4000);
  EXPECT_TRUE(collector.child.running()) << "seed " << seed;
  EXPECT_NE(collector.child.output().find("vantrel-collect: malformed datagram from 127.0.0.1:"), std::string::npos);
}

TEST(Collector, HelpAndBadArguments) {
  std::string out;
  EXPECT_EQ(runCommand(binaryPath("vantrel-collect") + " --help", &out), 0);
  EXPECT_EQ(out.rfind("Usage: vantrel-collect [--listen ADDR:PORT] [--format json|csv]\n", 0), 0u) << out;
  for (const char* args : {"--format xml", "--listen 127.0.0.1", "--listen 127.0.0.1:65536", "--listen host:1",
                           "--listen 999.1.1.1:80", "--verbose"}) {
    EXPECT_EQ(runCommand(binaryPath("vantrel-collect") + " " + args + " 2>&1", &out), 2) << args;
    EXPECT_EQ(out.substr(0, out.find('\n')), "vantrel-collect: bad argument '" + std::string(args) + "'");
  }
}

}  // namespace
