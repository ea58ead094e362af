// The capture path on real interfaces of namespaces made here: the capture
// routine in this process on a namespace's loopback (counting, stop, sweep on
// a quiet interface, bind failure), and the monitor as a process watching a
// veth link while this process makes TCP, UDP and ICMP traffic, its flows
// read back through the status document and the collector.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
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

// A capture run of this process inside a namespace, on its own thread.
struct CaptureRun {
  std::thread thread;

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

TEST(Capture, LoopbackCountsEachPacketOnceThenQuietStillSweepsAndStopsPromptly) {
  REQUIRE_ROOT();
  Netns ns("vt-cap-lo");
  ASSERT_EQ(ns.exec("ip addr add 127.0.0.2/8 dev lo"), 0);
  resetFlowTables();
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
    const int receiver = boundSocket(SOCK_DGRAM, "127.0.0.2", kTo);
    const int sender = boundSocket(SOCK_DGRAM, "127.0.0.2", kFrom);
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

  // Quiet from now on: a flow idle for 20 s must still be moved by the sweep.
  const FlowKey idle{0x0a000001, 0x0a000002, 39999, 53, 0, 17};
  {
    std::lock_guard<std::mutex> lock(flowTableMutex);
    insertFlow(idle, makeFlowRecord(0, 1, 17, idle.srcip, idle.dstip, idle.srcport, idle.dstport, 60, 0, 0,
                                    currentTimeMillis() - 20000, nullptr));
  }
  EXPECT_TRUE(waitFor([] { return toExportSize() == 1; }, milliseconds(3000))) << "the idle flow stayed open";
  sleepMillis(400);  // at least one more full wait with nothing received
  testing::internal::CaptureStdout();
  EXPECT_LT(run.stop().count(), 1000) << "the stop waited for traffic";
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Exiting sniffer\n");
  EXPECT_FALSE(snifferRunning);
  EXPECT_EQ(snifferPacketCount, kSent);
  resetFlowTables();
}

// A capture thread held up (here on purpose, by the packet hook) lets the
// ring fill; what the kernel could not keep shows in snifferPacketsDropped
// once the thread reads on.
std::atomic<bool> holdCapture{false}, captureHeld{false};

TEST(Capture, PacketsTheRingCouldNotHoldCountAsDropped) {
  REQUIRE_ROOT();
  Netns ns("vt-cap-drop");
  ASSERT_EQ(ns.exec("ip addr add 127.0.0.2/8 dev lo"), 0);
  resetFlowTables();
  holdCapture = true;
  captureHeld = false;
  capturePacketHook = [] {
    while (holdCapture) {
      captureHeld = true;
      sleepMillis(1);
    }
  };
  CaptureRun run;
  ASSERT_TRUE(run.start(ns, "127.0.0.2"));
  const uint64_t droppedBefore = snifferPacketsDropped;
  const int kSent = 20000;  // some 56 MB through the ring with loopback's two copies: many times its size
  inNamespace(ns, [&] {
    const int receiver = boundSocket(SOCK_DGRAM, "127.0.0.2", 40200);
    const int sender = boundSocket(SOCK_DGRAM, "127.0.0.2", 40201);
    const sockaddr_in to = endpoint("127.0.0.2", 40200);
    char payload[1400] = {};
    sendto(sender, payload, 8, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    ASSERT_TRUE(waitFor([] { return captureHeld.load(); }, milliseconds(3000))) << "the first packet never came";
    EXPECT_EQ(snifferPacketsDropped, droppedBefore);
    for (int i = 0; i < kSent; ++i) sendto(sender, payload, sizeof payload, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    close(sender);
    close(receiver);
  });
  holdCapture = false;
  EXPECT_TRUE(waitFor([&] { return snifferPacketsDropped > droppedBefore; }, milliseconds(5000)));
  run.stop();
  capturePacketHook = nullptr;
  const uint64_t dropped = snifferPacketsDropped - droppedBefore;
  EXPECT_GT(snifferPacketCount + dropped, static_cast<uint64_t>(kSent)) << "received and dropped account for what was sent";
  resetFlowTables();
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

// --- traffic across a veth link ------------------------------------------------

// A peer in its own namespace on `address`:`port` that answers each UDP
// datagram and each TCP request with one byte, `delay` ms after it came.
struct Peer {
  std::thread thread;
  std::atomic<bool> ready{false}, done{false};
  Peer(const Netns& ns, const char* address, uint16_t port, uint32_t delay) {
    thread = std::thread([=, this, &ns] {
      if (!enterNamespace(ns)) return;
      const int udp = boundSocket(SOCK_DGRAM, address, port);
      const int listener = boundSocket(SOCK_STREAM, address, port);
      listen(listener, 8);
      ready = true;
      pollfd waits[2] = {{udp, POLLIN, 0}, {listener, POLLIN, 0}};
      char buf[16];
      while (!done) {
        if (poll(waits, 2, 100) <= 0) continue;
        if (waits[0].revents & POLLIN) {
          sockaddr_in from = {};
          socklen_t length = sizeof from;
          if (recvfrom(udp, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &length) > 0) {
            sleepMillis(delay);
            sendto(udp, "a", 1, 0, reinterpret_cast<const sockaddr*>(&from), length);
          }
        }
        if (waits[1].revents & POLLIN) {
          const int conn = accept(listener, nullptr, nullptr);
          if (conn >= 0 && recv(conn, buf, sizeof buf, 0) > 0) {
            sleepMillis(delay);
            send(conn, "a", 1, 0);
          }
          if (conn >= 0) close(conn);
        }
      }
      close(udp);
      close(listener);
    });
    EXPECT_TRUE(waitFor([&] { return ready.load(); }, milliseconds(5000)));
  }
  ~Peer() {
    done = true;
    thread.join();
  }
};

// One request and its answer over a new socket of `type` from `from` to
// `to`:`port`; the socket's local port, or 0 when the exchange failed. The
// socket stays open `hold` ms after the answer.
uint16_t exchange(int type, const char* from, const char* to, uint16_t port, uint32_t hold = 0) {
  const int fd = boundSocket(type, from, 0);
  const sockaddr_in peer = endpoint(to, port);
  char answer[4];
  const bool ok = fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0 &&
                  send(fd, "q", 1, 0) == 1 && recv(fd, answer, sizeof answer, 0) == 1;
  const uint16_t local = ok ? localPort(fd) : 0;
  sleepMillis(hold);
  close(fd);
  return local;
}

constexpr const char* kWatched = "10.201.7.1";  // the monitor's side
constexpr const char* kPeer = "10.201.7.2";
constexpr uint16_t kEcho = 5001;

TEST(Capture, EndToEndThroughStatusDocumentAndCollector) {
  REQUIRE_ROOT();
  Netns watched("vt-cap-a");
  Netns peerNs("vt-cap-b");
  linkNamespaces(watched, std::string(kWatched) + "/24", peerNs, std::string(kPeer) + "/24");
  TempDir dir;
  CollectorProcess collector;
  ASSERT_TRUE(collector.start(dir, "127.0.0.1:20555", watched.name)) << collector.child.output();
  ChildProcess monitor;
  ASSERT_TRUE(startMonitor(monitor, dir, watched,
                           "{\"listenerIP\": \"\", \"receiverIP\": \"127.0.0.1\", \"receiverPort\": 20555, "
                           "\"httpPort\": 17909, \"user\": \"admin\", \"pass\": \"x\"}",
                           "Listener Socket IO controls set!\n"))
      << monitor.output();
  for (const char* expected :
       {"\nSetting listener from discovery to \tIPV4:10.201.7.1 180946689\n", "\nListener Socket bound to 10.201.7.1!",
        "\tIfType: 1\n", "\tTransmit link speed: 10000000000\n", "\tPhysical address: "}) {
    EXPECT_NE(monitor.output().find(expected), std::string::npos) << "missing: " << expected << monitor.output();
  }

  // This process's traffic from the watched side: a TCP exchange, five UDP
  // datagrams (the peer answers each), an echo request. The sockets stay
  // open while the monitor looks up their owners.
  const int kUdpSent = 5;
  uint16_t tcpLocal = 0, udpLocal = 0;
  bool pinged = false;
  {
    Peer peer(peerNs, kPeer, kEcho, 0);
    inNamespace(watched, [&] {
      tcpLocal = exchange(SOCK_STREAM, kWatched, kPeer, kEcho, 500);
      const int udp = boundSocket(SOCK_DGRAM, kWatched, 0);
      udpLocal = localPort(udp);
      const sockaddr_in to = endpoint(kPeer, kEcho);
      for (int i = 0; i < kUdpSent; ++i) {
        sendto(udp, "sample", 6, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
      }
      pinged = watched.exec("ping -c 1 -W 2 " + std::string(kPeer) + " >/dev/null") == 0;
      sleepMillis(500);  // and the monitor has taken every packet by now
      close(udp);
    });
    ASSERT_NE(tcpLocal, 0);
    ASSERT_TRUE(pinged);
  }

  const OwnIdentity own;
  const auto checkFlows = [&](const std::vector<Json::Value>& flows, const std::string& where) {
    const struct {
      const char* name;
      int proto;
      const char *src, *dst;
      int srcport, dstport, inif, outif;
      bool owned;
    } expected[] = {
        {"TCP out", 6, kWatched, kPeer, tcpLocal, kEcho, 0, 1, true},
        {"TCP in", 6, kPeer, kWatched, kEcho, tcpLocal, 1, 0, true},
        {"UDP out", 17, kWatched, kPeer, udpLocal, kEcho, 0, 1, true},
        {"ICMP echo request", 1, kWatched, kPeer, 8, 0, 0, 1, false},
        {"ICMP echo reply", 1, kPeer, kWatched, 0, 0, 1, 0, false},
    };
    for (const auto& e : expected) {
      const std::string what = where + ": " + e.name;
      const auto f = std::find_if(flows.begin(), flows.end(), [&](const Json::Value& f) {
        return f["proto"] == e.proto && f["srcip"] == e.src && f["dstip"] == e.dst && f["srcport"] == e.srcport &&
               f["dstport"] == e.dstport;
      });
      ASSERT_NE(f, flows.end()) << what;
      EXPECT_EQ((*f)["inif"], e.inif) << what;
      EXPECT_EQ((*f)["outif"], e.outif) << what;
      EXPECT_EQ((*f)["processname"], e.owned ? own.processname : "") << what;
      EXPECT_EQ((*f)["user"], e.owned ? own.user : "") << what;
      EXPECT_EQ((*f)["domain"], e.owned ? own.domain : "") << what;
      EXPECT_EQ((*f)["flags"].asInt() & 0x02, e.proto == 6 ? 0x02 : 0) << what << ": SYN";
      if (e.proto == 17) {
        EXPECT_EQ((*f)["pkts"], kUdpSent) << what;
        EXPECT_EQ((*f)["bytes"], kUdpSent * (20 + 8 + 6)) << what;
      }
    }
  };

  // While the flows are open: the status document.
  std::string body;
  ASSERT_EQ(watched.exec("curl -s --max-time 10 --digest -u admin:x "
                         "'http://127.0.0.1:17909/data/?requestedData=flows'",
                         &body),
            0);
  const Json::Value doc = parseJson(body);
  checkFlows(std::vector<Json::Value>(doc["flows"].begin(), doc["flows"].end()), "/data/");
  const Json::Value& interfaces = doc["interfacesDiscovered"];
  bool vethRecorded = false;
  for (const std::string& key : interfaces.getMemberNames()) {
    if (interfaces[key]["ips"][0] == kWatched) vethRecorded = !interfaces[key]["mac"].asString().empty();
  }
  EXPECT_TRUE(vethRecorded) << interfaces.toStyledString();
  // Loopback's all-zero link address is no hardware address.
  EXPECT_EQ(interfaces["if_1"]["ips"][0], "127.0.0.1");
  EXPECT_FALSE(interfaces["if_1"].isMember("mac")) << interfaces.toStyledString();

  // The link is quiet from now on but for its own IPv6 chatter (neighbour
  // discovery): the six flows (the peer answers UDP too) finish 15 s after
  // their last packet all the same, and the export loop sends them.
  ASSERT_TRUE(waitFor([&] { return collector.lines().size() >= 6; }, milliseconds(30000)))
      << collector.child.output() << "\n" << monitor.output();
  checkFlows(collector.flows(), "collector");
  EXPECT_EQ(monitor.output().find("unsupported version"), std::string::npos) << "a non-IP frame got through";
}

// Owners can only be found while their sockets are open, so packets must
// reach the lookups promptly: a name lookup or a small request closes its
// socket within tens of milliseconds. Here every exchange is the first
// traffic after a quiet spell and its socket closes 120 ms after its first
// packet; each flow it opens must still carry this process as its owner.
TEST(Capture, ShortLivedSocketsKeepTheirOwners) {
  REQUIRE_ROOT();
  Netns watched("vt-cap-sa");
  Netns peerNs("vt-cap-sb");
  const char* kNear = "10.201.8.1";
  const char* kFar = "10.201.8.2";
  linkNamespaces(watched, std::string(kNear) + "/24", peerNs, std::string(kFar) + "/24");
  Peer peer(peerNs, kFar, kEcho, 120);

  resetFlowTables();
  testing::internal::CaptureStdout();
  CaptureRun run;
  const bool started = run.start(watched, kNear);
  const std::string setUp = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(started) << setUp;

  const int kRounds = 4;
  std::vector<std::pair<uint8_t, uint16_t>> flows;  // protocol, local port
  inNamespace(watched, [&] {
    for (int i = 0; i < kRounds; ++i) {
      for (const auto& [type, proto] : {std::pair{SOCK_DGRAM, 17}, std::pair{SOCK_STREAM, 6}}) {
        sleepMillis(150);
        flows.emplace_back(proto, exchange(type, kNear, kFar, kEcho));
      }
    }
  });
  for (const auto& exchanged : flows) {
    const auto proto = exchanged.first;
    const auto port = exchanged.second;
    FlowRecord flow;
    ASSERT_NE(port, 0) << "exchange failed";
    ASSERT_TRUE(waitFor([&] { return findOpenFlow(proto, port, kEcho, flow); }, milliseconds(3000)))
        << "protocol " << int(proto) << " from port " << port;
    // The look-up worker fills the owner in a moment after the record opens.
    waitFor([&] { return findOpenFlow(proto, port, kEcho, flow) && !flow.processname().empty(); },
            milliseconds(3000));
    EXPECT_EQ(flow.processname(), OwnIdentity().processname) << "protocol " << int(proto) << " from port " << port;
  }
  testing::internal::CaptureStdout();
  run.stop();
  testing::internal::GetCapturedStdout();
  resetFlowTables();
}

}  // namespace
