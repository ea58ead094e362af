// The orderly stop: SIGTERM hands every open flow to the collector and ends
// the monitor with status 0 within 2 s; a second signal ends it at once.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <sstream>

#include "tests/support/system_test.h"

namespace {

using std::chrono::milliseconds;

constexpr int kCollectorPort = 24055;
constexpr int kUdpSent = 9;

// A monitor watching the loopback of its own namespace (listener 127.0.0.2),
// exporting to a collector on 127.0.0.1 in the same namespace.
struct WatchedLoopback {
  Netns ns{"vt-stop"};
  TempDir dir;
  ChildProcess collector, monitor;

  bool start() {
    ns.exec("ip addr add 127.0.0.2/8 dev lo");
    if (!collector.start({binaryPath("vantrel-collect"), "--listen", "127.0.0.1:" + std::to_string(kCollectorPort)},
                         dir.path, dir.file("collector.log"), ns.name))
      return false;
    if (!waitFor([&] { return collector.output().find("listening on") != std::string::npos; }, milliseconds(5000)))
      return false;
    writeFile(dir.file("vantrelsettings.json"),
              "{\"listenerIP\": \"127.0.0.2\", \"receiverIP\": \"127.0.0.1\", \"receiverPort\": " +
                  std::to_string(kCollectorPort) + ", \"httpPort\": 17919}");
    if (!monitor.start({binaryPath("vantrel")}, dir.path, dir.file("console.log"), ns.name)) return false;
    return waitFor([&] { return monitor.output().find("Listener Socket IO controls set!\n") != std::string::npos &&
                                monitor.output().find("exporter bind socket") != std::string::npos; },
                   milliseconds(8000));
  }

  // Sends `count` UDP datagrams 127.0.0.2:40001 -> 127.0.0.1:`port`.
  void sendUdp(int count, int port) {
    inNamespace(ns, [&] {
      const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_in from = {}, to = {};
      from.sin_family = to.sin_family = AF_INET;
      from.sin_port = htons(40001);
      to.sin_port = htons(static_cast<uint16_t>(port));
      inet_pton(AF_INET, "127.0.0.2", &from.sin_addr);
      inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
      ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
      for (int i = 0; i < count; ++i) {
        ASSERT_EQ(sendto(fd, "flow", 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 4);
      }
      close(fd);
    });
  }
};

TEST(Shutdown, SigtermAndSighupSendOpenFlowsToTheCollectorAndExitZero) {
  REQUIRE_ROOT();
  for (const int sig : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(sig));
    WatchedLoopback w;
    ASSERT_TRUE(w.start()) << w.monitor.output() << w.collector.output();
    w.sendUdp(kUdpSent, 40002);
    sleep(1);  // the packets are decoded; the flow stays open (15 s idle limit)
    ASSERT_EQ(w.collector.output().find("\"dstport\":40002"), std::string::npos) << "flow finished too early";

    // Datagrams sent just before the signal are still counted and exported:
    // the capture ring hands over what it holds before capture ends.
    w.sendUdp(kUdpSent, 40003);
    const auto begin = std::chrono::steady_clock::now();
    w.monitor.signal(sig);
    const int status = w.monitor.wait(milliseconds(2000));
    const auto took = std::chrono::steady_clock::now() - begin;
    ASSERT_TRUE(WIFEXITED(status)) << "not ended normally within 2 s\n" << w.monitor.output();
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_LT(took, milliseconds(2000));
    EXPECT_NE(w.monitor.output().find("Stopped: "), std::string::npos) << w.monitor.output();

    ASSERT_TRUE(waitFor([&] { return w.collector.output().find("\"dstport\":40002") != std::string::npos &&
                                     w.collector.output().find("\"dstport\":40003") != std::string::npos; },
                        milliseconds(2000)))
        << "the open flow never reached the collector\n" << w.monitor.output() << w.collector.output();
    std::istringstream lines(w.collector.output());
    std::string line;
    while (std::getline(lines, line)) {
      if (line.find("\"dstport\":4000") == std::string::npos) continue;
      EXPECT_NE(line.find("\"pkts\":" + std::to_string(kUdpSent) + ","), std::string::npos) << line;
      EXPECT_NE(line.find("\"srcip\":\"127.0.0.2\""), std::string::npos) << line;
    }
  }
}

TEST(Shutdown, SecondSignalEndsAtOnce) {
  REQUIRE_ROOT();
  TempDir dir;
  Netns ns("vt-stop2");
  writeFile(dir.file("vantrelsettings.json"), "{\"listenerIP\": \"0.0.0.0\", \"httpPort\": 17929}");
  ChildProcess monitor;
  ASSERT_TRUE(monitor.start({binaryPath("vantrel")}, dir.path, dir.file("console.log"), ns.name));
  ASSERT_TRUE(waitFor([&] { return monitor.output().find("In main\n") != std::string::npos; }, milliseconds(5000)));
  monitor.signal(SIGINT);
  monitor.signal(SIGINT);
  const int status = monitor.wait(milliseconds(2000));
  ASSERT_NE(status, -1) << monitor.output();
  EXPECT_TRUE(WIFEXITED(status));
}

}  // namespace
