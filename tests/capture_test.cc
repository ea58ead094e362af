// The capture path on real interfaces of namespaces made here: the capture
// routine in this process on a namespace's loopback (counting, stop, sweep on
// a quiet interface, bind failure), and the monitor as a process watching a
// veth link while this process makes TCP, UDP and ICMP traffic, its flows
// read back through the status document and the collector.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <json/json.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>

#include "capture/capture.h"
#include "flow/flow_table.h"
#include "flow/ip_text.h"
#include "platform/clock.h"
#include "runtime/settings.h"
#include "runtime/state.h"
#include "tests/support/system_test.h"

namespace {

using std::chrono::milliseconds;

sockaddr_in endpoint(const char* address, uint16_t port) {
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, address, &a.sin_addr);
  return a;
}

int boundUdp(const char* address, uint16_t port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = endpoint(address, port);
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A capture run of this process inside a namespace, on its own thread.
struct CaptureRun {
  std::thread thread;
  std::chrono::steady_clock::time_point stopAt;

  // Starts runSniffer in `ns` on `listenerIP`; true once its socket is in
  // receive-all mode.
  bool start(const Netns& ns, const std::string& listenerIP) {
    setSetting("listenerIP", listenerIP);
    snifferPacketCount = -1000000;  // the run sets it to 0 once receiving
    keepSniffing = true;
    thread = std::thread([&ns] {
      if (enterNamespace(ns)) runSniffer();
    });
    return waitFor([] { return snifferPacketCount >= 0; }, milliseconds(5000));
  }

  // Clears keepSniffing and waits for the run to end; the time it took.
  milliseconds stop() {
    const auto begin = std::chrono::steady_clock::now();
    keepSniffing = false;
    waitFor([] { return !snifferRunning; }, milliseconds(5000));
    const auto took = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - begin);
    if (thread.joinable()) thread.join();
    return took;
  }

  ~CaptureRun() {
    keepSniffing = false;
    if (thread.joinable()) thread.join();
  }
};

// The open flow with these ports and protocol, if any.
bool findOpenFlow(uint8_t proto, uint16_t srcport, uint16_t dstport, FlowRecord& out) {
  for (const FlowRecord& r : copyFlows()) {
    if (r.proto == proto && r.srcport == srcport && r.dstport == dstport) {
      out = r;
      return true;
    }
  }
  return false;
}

TEST(Capture, LoopbackCountsEachPacketOnce) {
  REQUIRE_ROOT();
  Netns ns("vt-cap-lo");
  ASSERT_EQ(ns.exec("ip addr add 127.0.0.2/8 dev lo"), 0);
  testing::internal::CaptureStdout();
  CaptureRun run;
  const bool started = run.start(ns, "127.0.0.2");
  const std::string setUp = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(started) << setUp;
  EXPECT_EQ(setUp,
            "Sniffer Socket created!\nSniffer options set!\n\nBinding to :127.0.0.2"
            "\nListener Socket bound to 127.0.0.2!\nListener Socket IO controls set!\n");

  const int kSent = 7;
  const uint16_t kFrom = 40123, kTo = 40124;
  inNamespace(ns, [&] {
    const int receiver = boundUdp("127.0.0.2", kTo);
    const int sender = boundUdp("127.0.0.2", kFrom);
    ASSERT_GE(receiver, 0);
    ASSERT_GE(sender, 0);
    const sockaddr_in to = endpoint("127.0.0.2", kTo);
    for (int i = 0; i < kSent; ++i) {
      ASSERT_EQ(sendto(sender, "datagram", 8, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to), 8);
    }
    close(sender);
    close(receiver);
  });

  FlowRecord flow;
  ASSERT_TRUE(waitFor([&] { return findOpenFlow(17, kFrom, kTo, flow) && flow.pkts >= kSent; }, milliseconds(5000)))
      << "pkts " << flow.pkts;
  sleepMillis(300);  // a second copy of any packet would arrive by now
  ASSERT_TRUE(findOpenFlow(17, kFrom, kTo, flow));
  EXPECT_EQ(flow.pkts, kSent);
  EXPECT_EQ(flow.bytes, kSent * (20 + 8 + 8));
  EXPECT_EQ(ipToDotted(flow.srcip), "127.0.0.2");
  EXPECT_EQ(flow.outif, 1);  // its source is the listener address
  EXPECT_EQ(snifferPacketCount, kSent);

  testing::internal::CaptureStdout();
  run.stop();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Exiting sniffer\n");
  EXPECT_FALSE(snifferRunning);
}

TEST(Capture, QuietInterfaceStopsPromptlyAndStillSweeps) {
  REQUIRE_ROOT();
  Netns ns("vt-cap-quiet");
  ASSERT_EQ(ns.exec("ip addr add 127.0.0.2/8 dev lo"), 0);

  // A flow idle for 20 s: the sweep must move it although no packet comes.
  const uint64_t now = currentTimeMillis();
  const FlowKey idle{0x0a000001, 0x0a000002, 39999, 53, 0, 17};
  {
    std::lock_guard<std::mutex> lock(flowTableMutex);
    insertFlow(idle, makeFlowRecord(0, 1, 17, idle.srcip, idle.dstip, idle.srcport, idle.dstport, 60, 0, 0,
                                    now - 20000, nullptr));
  }
  const size_t waitingBefore = toExportSize();

  testing::internal::CaptureStdout();
  CaptureRun run;
  const bool started = run.start(ns, "127.0.0.2");
  bool swept = started && waitFor([&] {
                 FlowRecord r;
                 return !findOpenFlow(17, 39999, 53, r);
               }, milliseconds(3000));
  sleepMillis(400);  // at least one more full wait with nothing received
  const milliseconds took = run.stop();
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(started) << out;
  EXPECT_TRUE(swept) << "the idle flow stayed open on a quiet interface";
  EXPECT_EQ(toExportSize(), waitingBefore + 1);
  EXPECT_EQ(snifferPacketCount, 0);
  EXPECT_LT(took.count(), 1000) << "the stop waited for traffic";
  EXPECT_FALSE(snifferRunning);
  EXPECT_TRUE(out.size() >= 16 && out.compare(out.size() - 16, 16, "Exiting sniffer\n") == 0) << out;
  clearExports();
}

TEST(Capture, ListenerNotOnThisMachineFailsAtBind) {
  REQUIRE_ROOT();
  Netns ns("vt-cap-bind");
  for (const char* listener : {"192.0.2.1", "", "not an address"}) {
    setSetting("listenerIP", listener);
    keepSniffing = true;
    testing::internal::CaptureStdout();
    inNamespace(ns, [] { runSniffer(); });
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string("Sniffer Socket created!\nSniffer options set!\n\nBinding to :") + listener +
                  "\nListener binding Socket FAILED code:99\n")
        << "listener: " << listener;
    EXPECT_FALSE(snifferRunning);
  }
  keepSniffing = false;
}

TEST(Capture, NoIpv4AddressGoesOnAfterTheNoDataLines) {
  REQUIRE_ROOT();
  Netns ns("vt-cap-none");
  ns.exec("ip link set lo down");
  ns.exec("ip addr flush dev lo");
  TempDir dir;
  ChildProcess monitor;
  ASSERT_TRUE(monitor.start({binaryPath("vantrel")}, dir.path, dir.file("console.log"), ns.name));
  ASSERT_TRUE(waitFor([&] { return monitor.output().find("In main\n") != std::string::npos; }, milliseconds(5000)))
      << monitor.output();
  const std::string out = monitor.output();
  EXPECT_EQ(out.rfind("Calling GetAdaptersAddresses function with family = AF_INET\n"
                      "Call to GetAdaptersAddresses failed with error: 232\n"
                      "\tNo addresses were found for the requested parameters\n",
                      0),
            0u)
      << out;
  EXPECT_TRUE(monitor.running());
}

// --- the monitor as a process on a veth link ----------------------------------

constexpr const char* kWatched = "10.201.7.1";  // the monitor's side
constexpr const char* kPeer = "10.201.7.2";
constexpr uint16_t kTcpPort = 5001;
constexpr uint16_t kUdpPort = 5002;
constexpr uint16_t kCollectorPort = 20555;
constexpr int kUdpSent = 5;

uint16_t icmpChecksum(const uint8_t* data, size_t length) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < length; i += 2) sum += (static_cast<uint32_t>(data[i]) << 8) | data[i + 1];
  if (length % 2) sum += static_cast<uint32_t>(data[length - 1]) << 8;
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// One echo request from this namespace to `to`; true when the reply came.
bool ping(const char* to) {
  const int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd < 0) return false;
  uint8_t request[16] = {8, 0, 0, 0, 0x12, 0x34, 0, 1, 'v', 't', 'c', 'a', 'p', 0, 0, 0};
  const uint16_t sum = icmpChecksum(request, sizeof request);
  request[2] = static_cast<uint8_t>(sum >> 8);
  request[3] = static_cast<uint8_t>(sum);
  const sockaddr_in peer = endpoint(to, 0);
  bool replied = false;
  if (sendto(fd, request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) ==
      static_cast<ssize_t>(sizeof request)) {
    pollfd p = {fd, POLLIN, 0};
    uint8_t reply[128];
    while (!replied && poll(&p, 1, 2000) == 1) {
      const ssize_t n = recv(fd, reply, sizeof reply, 0);
      replied = n >= 28 && reply[20] == 0 && reply[24] == 0x12 && reply[25] == 0x34;
    }
  }
  close(fd);
  return replied;
}

// The flow lines the collector wrote.
std::vector<Json::Value> collectedFlows(const std::string& output) {
  std::vector<Json::Value> flows;
  std::istringstream lines(output);
  std::string line;
  Json::CharReaderBuilder builder;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] != '{') continue;
    Json::Value v;
    std::string errors;
    std::istringstream in(line);
    if (Json::parseFromStream(builder, in, &v, &errors)) flows.push_back(v);
  }
  return flows;
}

const Json::Value* findCollected(const std::vector<Json::Value>& flows, int proto, const char* src, const char* dst,
                                 int srcport, int dstport) {
  for (const Json::Value& f : flows) {
    if (f["proto"].asInt() == proto && f["srcip"].asString() == src && f["dstip"].asString() == dst &&
        (srcport < 0 || f["srcport"].asInt() == srcport) && (dstport < 0 || f["dstport"].asInt() == dstport)) {
      return &f;
    }
  }
  return nullptr;
}

// What the monitor should name as this process's owner.
struct OwnOwner {
  std::string processname, user, domain;
  OwnOwner() {
    char path[1024];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    processname = n > 0 ? std::string(path, static_cast<size_t>(n)) : "";
    if (processname.size() > 30) processname = processname.substr(processname.size() - 30);
    const passwd* pw = getpwuid(getuid());
    user = pw ? pw->pw_name : "";
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    domain = host;
  }
};

TEST(Capture, EndToEndThroughStatusDocumentAndCollector) {
  REQUIRE_ROOT();
  Netns watched("vt-cap-a");
  Netns peer("vt-cap-b");
  linkNamespaces(watched, std::string(kWatched) + "/24", peer, std::string(kPeer) + "/24");

  TempDir dir;
  ChildProcess collector;
  ASSERT_TRUE(collector.start({binaryPath("vantrel-collect"), "--listen", "127.0.0.1:" + std::to_string(kCollectorPort)},
                              dir.path, dir.file("collector.log"), watched.name));
  ASSERT_TRUE(waitFor([&] { return collector.output().find("listening on") != std::string::npos; },
                      milliseconds(5000)))
      << collector.output();

  writeFile(dir.file("vantrelsettings.json"),
            "{\"listenerIP\": \"\", \"receiverIP\": \"127.0.0.1\", \"receiverPort\": " +
                std::to_string(kCollectorPort) + ", \"httpPort\": 17909, \"user\": \"admin\", \"pass\": \"x\"}");
  ChildProcess monitor;
  ASSERT_TRUE(monitor.start({binaryPath("vantrel")}, dir.path, dir.file("console.log"), watched.name));
  ASSERT_TRUE(waitFor([&] { return monitor.output().find("Listener Socket IO controls set!\n") != std::string::npos; },
                      milliseconds(8000)))
      << monitor.output();

  uint32_t watchedNumber = 0;
  ASSERT_TRUE(parseDotted(kWatched, watchedNumber));
  const std::string console = monitor.output();
  for (const std::string& expected :
       {"\nSetting listener from discovery to \tIPV4:" + std::string(kWatched) + " " +
            std::to_string(static_cast<int32_t>(watchedNumber)) + "\n",
        std::string("\nBinding to :") + kWatched, std::string("\nListener Socket bound to ") + kWatched + "!",
        std::string("\tIfType: 1\n"), std::string("\tTransmit link speed: 10000000000\n"),
        std::string("\tPhysical address: ")}) {
    EXPECT_NE(console.find(expected), std::string::npos) << "missing: " << expected << "\n" << console;
  }

  // The peer: a TCP server answering one line, a UDP sink.
  std::atomic<bool> peerReady{false};
  std::thread peerSide([&] {
    if (!enterNamespace(peer)) return;
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in at = endpoint(kPeer, kTcpPort);
    bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at);
    listen(listener, 1);
    const int sink = boundUdp(kPeer, kUdpPort);
    peerReady = true;
    pollfd p = {listener, POLLIN, 0};
    if (poll(&p, 1, 10000) == 1) {
      const int conn = accept(listener, nullptr, nullptr);
      char buf[16];
      if (conn >= 0 && recv(conn, buf, sizeof buf, 0) > 0) send(conn, "pong", 4, 0);
      if (conn >= 0) {
        while (recv(conn, buf, sizeof buf, 0) > 0) {
        }
        close(conn);
      }
    }
    close(listener);
    close(sink);
  });
  ASSERT_TRUE(waitFor([&] { return peerReady.load(); }, milliseconds(5000)));

  // This process's traffic from the watched side.
  uint16_t tcpLocal = 0, udpLocal = 0;
  bool pinged = false;
  inNamespace(watched, [&] {
    const int tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in server = endpoint(kPeer, kTcpPort);
    ASSERT_EQ(connect(tcp, reinterpret_cast<const sockaddr*>(&server), sizeof server), 0);
    sockaddr_in local = {};
    socklen_t length = sizeof local;
    getsockname(tcp, reinterpret_cast<sockaddr*>(&local), &length);
    tcpLocal = ntohs(local.sin_port);
    ASSERT_EQ(send(tcp, "ping", 4, 0), 4);
    char answer[8];
    ASSERT_EQ(recv(tcp, answer, sizeof answer, 0), 4);

    const int udp = boundUdp(kWatched, 0);
    length = sizeof local;
    getsockname(udp, reinterpret_cast<sockaddr*>(&local), &length);
    udpLocal = ntohs(local.sin_port);
    const sockaddr_in sink = endpoint(kPeer, kUdpPort);
    for (int i = 0; i < kUdpSent; ++i) {
      ASSERT_EQ(sendto(udp, "sample", 6, 0, reinterpret_cast<const sockaddr*>(&sink), sizeof sink), 6);
    }
    pinged = ping(kPeer);
    sleepMillis(500);  // the sockets stay open while the monitor looks up their owners
    close(tcp);
    close(udp);
  });
  peerSide.join();
  ASSERT_TRUE(pinged);

  const OwnOwner own;
  const auto checkFlows = [&](const std::vector<Json::Value>& flows, const std::string& where) {
    const struct {
      const char* name;
      int proto;
      const char* src;
      const char* dst;
      int srcport, dstport;
      int inif, outif;
      bool owned;
    } expected[] = {
        {"TCP out", 6, kWatched, kPeer, tcpLocal, kTcpPort, 0, 1, true},
        {"TCP in", 6, kPeer, kWatched, kTcpPort, tcpLocal, 1, 0, true},
        {"UDP out", 17, kWatched, kPeer, udpLocal, kUdpPort, 0, 1, true},
        {"ICMP echo request", 1, kWatched, kPeer, 8, 0, 0, 1, false},
        {"ICMP echo reply", 1, kPeer, kWatched, 0, 0, 1, 0, false},
    };
    for (const auto& e : expected) {
      const Json::Value* f = findCollected(flows, e.proto, e.src, e.dst, e.srcport, e.dstport);
      ASSERT_NE(f, nullptr) << where << ": " << e.name;
      EXPECT_EQ((*f)["inif"].asInt(), e.inif) << where << ": " << e.name;
      EXPECT_EQ((*f)["outif"].asInt(), e.outif) << where << ": " << e.name;
      EXPECT_EQ((*f)["processname"].asString(), e.owned ? own.processname : "") << where << ": " << e.name;
      EXPECT_EQ((*f)["user"].asString(), e.owned ? own.user : "") << where << ": " << e.name;
      EXPECT_EQ((*f)["domain"].asString(), e.owned ? own.domain : "") << where << ": " << e.name;
    }
    const Json::Value* udp = findCollected(flows, 17, kWatched, kPeer, udpLocal, kUdpPort);
    EXPECT_EQ((*udp)["pkts"].asInt(), kUdpSent) << where;
    EXPECT_EQ((*udp)["bytes"].asInt(), kUdpSent * (20 + 8 + 6)) << where;
    const Json::Value* syn = findCollected(flows, 6, kWatched, kPeer, tcpLocal, kTcpPort);
    EXPECT_EQ((*syn)["flags"].asInt() & 0x02, 0x02) << where;
    const Json::Value* synAck = findCollected(flows, 6, kPeer, kWatched, kTcpPort, tcpLocal);
    EXPECT_EQ((*synAck)["flags"].asInt() & 0x12, 0x12) << where;
  };

  // While the flows are open: the status document.
  std::string body;
  ASSERT_EQ(watched.exec("curl -s --max-time 10 --digest -u admin:x "
                         "'http://127.0.0.1:17909/data/?requestedData=flows'",
                         &body),
            0);
  Json::Value doc;
  std::string errors;
  std::istringstream in(body);
  ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &doc, &errors)) << errors << body;
  std::vector<Json::Value> open;
  for (const Json::Value& f : doc["flows"]) open.push_back(f);
  checkFlows(open, "/data/");
  bool vethRecorded = false;
  for (const std::string& key : doc["interfacesDiscovered"].getMemberNames()) {
    const Json::Value& member = doc["interfacesDiscovered"][key];
    if (member["ips"][0] == kWatched) vethRecorded = member["mac"].isString() && !member["mac"].asString().empty();
  }
  EXPECT_TRUE(vethRecorded) << doc["interfacesDiscovered"].toStyledString();
  // Loopback's all-zero link address is no hardware address.
  EXPECT_EQ(doc["interfacesDiscovered"]["if_1"]["ips"][0], "127.0.0.1");
  EXPECT_FALSE(doc["interfacesDiscovered"]["if_1"].isMember("mac")) << doc["interfacesDiscovered"].toStyledString();

  // The link is quiet from now on (non-IPv4 frames never reach the monitor):
  // the flows finish 15 s after their last packet all the same, and the
  // export loop sends them.
  std::vector<Json::Value> flows;
  const auto haveAll = [&] {
    flows = collectedFlows(collector.output());
    return findCollected(flows, 6, kPeer, kWatched, kTcpPort, tcpLocal) &&
           findCollected(flows, 1, kPeer, kWatched, 0, 0) &&
           findCollected(flows, 17, kWatched, kPeer, udpLocal, kUdpPort);
  };
  ASSERT_TRUE(waitFor(haveAll, milliseconds(30000))) << collector.output() << "\n" << monitor.output();
  checkFlows(flows, "collector");
  EXPECT_EQ(monitor.output().find("unsupported version"), std::string::npos) << "a non-IPv4 frame got through";
}

// Owners can only be found while their sockets are open, so packets must
// reach the lookups promptly: a name lookup or a small request closes its
// socket within tens of milliseconds. Here every exchange is the first
// traffic after a quiet spell and its socket closes 120 ms after its first
// packet; each flow it opens must still carry this process as its owner.
TEST(Capture, ShortLivedSocketsKeepTheirOwners) {
  REQUIRE_ROOT();
  Netns watched("vt-cap-sa");
  Netns peer("vt-cap-sb");
  const char* kNear = "10.201.8.1";
  const char* kFar = "10.201.8.2";
  const uint16_t kEcho = 5003;
  const int kRounds = 4;
  const uint32_t kAnswerAfterMillis = 120;
  linkNamespaces(watched, std::string(kNear) + "/24", peer, std::string(kFar) + "/24");

  // The peer answers each UDP datagram and each TCP request after a while.
  std::atomic<bool> peerReady{false}, peerDone{false};
  std::thread peerSide([&] {
    if (!enterNamespace(peer)) return;
    const int udp = boundUdp(kFar, kEcho);
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in at = endpoint(kFar, kEcho);
    bind(listener, reinterpret_cast<const sockaddr*>(&at), sizeof at);
    listen(listener, 8);
    peerReady = true;
    pollfd waits[2] = {{udp, POLLIN, 0}, {listener, POLLIN, 0}};
    while (!peerDone) {
      if (poll(waits, 2, 100) <= 0) continue;
      char buf[16];
      if (waits[0].revents & POLLIN) {
        sockaddr_in from = {};
        socklen_t length = sizeof from;
        if (recvfrom(udp, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &length) > 0) {
          sleepMillis(kAnswerAfterMillis);
          sendto(udp, "a", 1, 0, reinterpret_cast<const sockaddr*>(&from), length);
        }
      }
      if (waits[1].revents & POLLIN) {
        const int conn = accept(listener, nullptr, nullptr);
        if (conn >= 0 && recv(conn, buf, sizeof buf, 0) > 0) {
          sleepMillis(kAnswerAfterMillis);
          send(conn, "a", 1, 0);
        }
        if (conn >= 0) close(conn);
      }
    }
    close(udp);
    close(listener);
  });
  ASSERT_TRUE(waitFor([&] { return peerReady.load(); }, milliseconds(5000)));

  testing::internal::CaptureStdout();
  CaptureRun run;
  const bool started = run.start(watched, kNear);
  const std::string setUp = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(started) << setUp;

  std::vector<uint16_t> udpPorts, tcpPorts;
  inNamespace(watched, [&] {
    const sockaddr_in far = endpoint(kFar, kEcho);
    char answer[4];
    for (int i = 0; i < kRounds; ++i) {
      sleepMillis(150);
      const int udp = boundUdp(kNear, 0);
      ASSERT_GE(udp, 0);
      ASSERT_EQ(sendto(udp, "q", 1, 0, reinterpret_cast<const sockaddr*>(&far), sizeof far), 1);
      ASSERT_EQ(recv(udp, answer, sizeof answer, 0), 1);
      sockaddr_in local = {};
      socklen_t length = sizeof local;
      getsockname(udp, reinterpret_cast<sockaddr*>(&local), &length);
      udpPorts.push_back(ntohs(local.sin_port));
      close(udp);

      sleepMillis(150);
      const int tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      ASSERT_EQ(connect(tcp, reinterpret_cast<const sockaddr*>(&far), sizeof far), 0);
      ASSERT_EQ(send(tcp, "q", 1, 0), 1);
      ASSERT_EQ(recv(tcp, answer, sizeof answer, 0), 1);
      length = sizeof local;
      getsockname(tcp, reinterpret_cast<sockaddr*>(&local), &length);
      tcpPorts.push_back(ntohs(local.sin_port));
      close(tcp);
    }
  });
  peerDone = true;
  peerSide.join();

  const OwnOwner own;
  const struct {
    const char* what;
    uint8_t proto;
    const std::vector<uint16_t>& ports;
  } kinds[] = {{"udp", 17, udpPorts}, {"tcp", 6, tcpPorts}};
  for (const auto& kind : kinds) {
    ASSERT_EQ(kind.ports.size(), static_cast<size_t>(kRounds)) << kind.what;
    for (uint16_t port : kind.ports) {
      FlowRecord flow;
      ASSERT_TRUE(waitFor([&] { return findOpenFlow(kind.proto, port, kEcho, flow); }, milliseconds(3000)))
          << kind.what << " from port " << port;
      EXPECT_EQ(flow.processname(), own.processname) << kind.what << " from port " << port;
    }
  }
  testing::internal::CaptureStdout();
  run.stop();
  testing::internal::GetCapturedStdout();
}

}  // namespace
