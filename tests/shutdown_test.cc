// The orderly stop: SIGTERM hands every open flow to the collector and ends
// the monitor with status 0 within 2 s; a second signal ends it at once.
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "tests/support/system_test.h"

namespace {

using std::chrono::milliseconds;

TEST(Shutdown, SigtermAndSighupSendOpenFlowsToTheCollectorAndExitZero) {
  REQUIRE_ROOT();
  const int kUdpSent = 9;
  for (const int sig : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(sig));
    // The monitor watches the loopback of its namespace (listener 127.0.0.2)
    // and exports to a collector on 127.0.0.1 there.
    Netns ns("vt-stop");
    ns.exec("ip addr add 127.0.0.2/8 dev lo");
    TempDir dir;
    CollectorProcess collector;
    ASSERT_TRUE(collector.start(dir, "127.0.0.1:24055", ns.name)) << collector.child.output();
    ChildProcess monitor;
    ASSERT_TRUE(startMonitor(monitor, dir, ns,
                             "{\"listenerIP\": \"127.0.0.2\", \"receiverIP\": \"127.0.0.1\", \"receiverPort\": 24055, "
                             "\"httpPort\": 17919}",
                             "Listener Socket IO controls set!\n") &&
                waitFor([&] { return monitor.output().find("exporter bind socket") != std::string::npos; },
                        milliseconds(5000)))
        << monitor.output();

    // Sends kUdpSent datagrams 127.0.0.2:40001 -> 127.0.0.1:`port`.
    const auto sendUdp = [&](uint16_t port) {
      inNamespace(ns, [&] {
        const int fd = boundSocket(SOCK_DGRAM, "127.0.0.2", 40001);
        const sockaddr_in to = endpoint("127.0.0.1", port);
        for (int i = 0; i < kUdpSent; ++i) {
          ASSERT_EQ(sendto(fd, "flow", 4, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to), 4);
        }
        close(fd);
      });
    };
    const auto sentFlow = [&](int port) {
      for (const Json::Value& f : collector.flows()) {
        if (f["dstport"] == port) return f;
      }
      return Json::Value();
    };
    sendUdp(40002);
    sleep(1);  // the packets are decoded; the flow stays open (15 s idle limit)
    ASSERT_TRUE(sentFlow(40002).isNull()) << "flow finished too early";

    // Datagrams sent just before the signal are still counted and exported:
    // the capture ring hands over what it holds before capture ends.
    sendUdp(40003);
    const auto begin = std::chrono::steady_clock::now();
    monitor.signal(sig);
    const int status = monitor.wait(milliseconds(2000));
    ASSERT_TRUE(WIFEXITED(status)) << "not ended normally within 2 s\n" << monitor.output();
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, milliseconds(2000));
    EXPECT_NE(monitor.output().find("Stopped: "), std::string::npos) << monitor.output();

    ASSERT_TRUE(waitFor([&] { return !sentFlow(40002).isNull() && !sentFlow(40003).isNull(); }, milliseconds(2000)))
        << "the open flow never reached the collector\n" << monitor.output() << collector.child.output();
    for (const int port : {40002, 40003}) {
      EXPECT_EQ(sentFlow(port)["pkts"], kUdpSent) << port;
      EXPECT_EQ(sentFlow(port)["srcip"], "127.0.0.2") << port;
    }
  }
}

TEST(Shutdown, SecondSignalEndsAtOnce) {
  REQUIRE_ROOT();
  TempDir dir;
  Netns ns("vt-stop2");
  ChildProcess monitor;
  ASSERT_TRUE(startMonitor(monitor, dir, ns, "{\"listenerIP\": \"0.0.0.0\", \"httpPort\": 17929}"));
  monitor.signal(SIGINT);
  monitor.signal(SIGINT);
  const int status = monitor.wait(milliseconds(2000));
  ASSERT_NE(status, -1) << monitor.output();
  EXPECT_TRUE(WIFEXITED(status));
}

}  // namespace
