// About 20 s of everything at once, meant for the sanitizer builds: capture of
// real traffic on a namespace's loopback, export to a collector, eight
// clients polling the open flows, and settings requests that restart capture
// and export. Every request must be answered, no sanitizer may report, and the
// monitor must stop cleanly afterwards.
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "tests/support/system_test.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int kCollectorPort = 25055;
constexpr int kHttpPort = 17939;
constexpr auto kDuration = seconds(20);

// Counts the HTTP status lines curl printed with -w, one per request. A 401
// is an answer too: clients that sign in on the same path in the same second
// share the server's nonce and all but one are asked to sign in again.
void countStatuses(const std::string& out, int& ok, int& bad, std::string& firstBad) {
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line == "200" || line == "401") {
      ok += line == "200";
    } else {
      ++bad;
      if (firstBad.empty()) firstBad = line.empty() ? "(no status)" : line;
    }
  }
}

TEST(Stress, CaptureExportPollingAndRestartsTogether) {
  REQUIRE_ROOT();
  Netns ns("vt-stress");
  ns.exec("ip addr add 127.0.0.2/8 dev lo");
  TempDir dir;
  CollectorProcess collector;
  ASSERT_TRUE(collector.start(dir, "127.0.0.1:" + std::to_string(kCollectorPort), ns.name));
  runCommand("mkdir -p '" + dir.file("resources/web") + "'");
  writeFile(dir.file("resources/web/index.html"), "<html>stress</html>");
  ChildProcess monitor;
  ASSERT_TRUE(startMonitor(monitor, dir, ns,
                           "{\"listenerIP\": \"127.0.0.2\", \"receiverIP\": \"127.0.0.1\", \"receiverPort\": " +
                               std::to_string(kCollectorPort) + ", \"httpPort\": " + std::to_string(kHttpPort) +
                               ", \"user\": \"admin\", \"pass\": \"stress\"}",
                           "Listener Socket IO controls set!\n"))
      << monitor.output();

  const auto end = std::chrono::steady_clock::now() + kDuration;
  std::atomic<bool> running{true};

  // Traffic: many short UDP flows and a few TCP connections, all on loopback.
  std::thread traffic([&] {
    inNamespace(ns, [&] {
      const int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_in to = endpoint("127.0.0.1", 0);
      const auto earlyUntil = std::chrono::steady_clock::now() + seconds(1);
      for (uint32_t i = 0; running; ++i) {
        to.sin_port = htons(static_cast<uint16_t>(30000 + i % 2000));
        sendto(udp, "stress", 6, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        // Flows of the first second then fall idle, so they finish (15 s)
        // and reach the collector while the test still runs.
        if (i % 50 == 0 && std::chrono::steady_clock::now() < earlyUntil) {
          sockaddr_in early = to;
          early.sin_port = htons(static_cast<uint16_t>(29000 + i % 100));
          sendto(udp, "early", 5, 0, reinterpret_cast<sockaddr*>(&early), sizeof early);
        }
        if (i % 200 == 0) {
          std::this_thread::sleep_for(milliseconds(2));
          const int tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
          sockaddr_in web = to;
          web.sin_port = htons(kHttpPort);
          connect(tcp, reinterpret_cast<sockaddr*>(&web), sizeof web);
          close(tcp);
        }
      }
      close(udp);
    });
  });

  // Eight clients polling the open flows, 10 requests per curl run: half
  // the whole list (long lists are written one at a time), half a sorted,
  // filtered page as the dashboard asks for it.
  const std::string url = "http://127.0.0.1:" + std::to_string(kHttpPort) + "/data/?requestedData=flows";
  std::string urls[2];
  for (int i = 0; i < 10; ++i) {
    urls[0] += " -o /dev/null '" + url + "'";
    urls[1] += " -o /dev/null '" + url + "&sortBy=bytes&sortOrder=desc&pageSize=200&page=2&filter=127.0'";
  }
  std::vector<std::thread> clients;
  std::atomic<int> answered{0}, failed{0};
  std::mutex firstFailureMutex;
  std::string firstFailure;
  for (int c = 0; c < 8; ++c) {
    clients.emplace_back([&, c] {
      while (std::chrono::steady_clock::now() < end) {
        std::string out;
        ns.exec("curl -s --max-time 30 --digest -u admin:stress -w '%{http_code}\\n'" + urls[c % 2], &out);
        int ok = 0, bad = 0;
        std::string badText;
        countStatuses(out, ok, bad, badText);
        answered += ok;
        failed += bad;
        if (bad) {
          std::lock_guard<std::mutex> lock(firstFailureMutex);
          if (firstFailure.empty()) firstFailure = badText;
        }
      }
    });
  }

  // Settings requests restarting capture and export every few seconds.
  int restarts = 0;
  while (std::chrono::steady_clock::now() + seconds(3) < end) {
    std::this_thread::sleep_for(seconds(2));
    std::string out;
    ns.exec("curl -s --max-time 30 --digest -u admin:stress -o /dev/null -w '%{http_code}' "
            "'http://127.0.0.1:" + std::to_string(kHttpPort) + "/?savesettings=1&receiverPort=" +
                std::to_string(kCollectorPort) + "'",
            &out);
    EXPECT_EQ(out, "200") << "settings request";
    ++restarts;
  }
  for (auto& t : clients) t.join();
  running = false;
  traffic.join();

  EXPECT_EQ(failed.load(), 0) << "first failure: " << firstFailure;
  EXPECT_GT(answered.load(), 80);
  const std::string console = monitor.output();
  EXPECT_EQ(countOf(console, "Stopped Exporter,restarting\n"), static_cast<size_t>(restarts));
  EXPECT_TRUE(waitFor([&] { return countOf(collector.child.output(), "\"dstport\":290") > 0; }, seconds(5)))
      << "no finished flow reached the collector";

  monitor.signal(SIGTERM);
  const int status = monitor.wait(seconds(5));
  ASSERT_TRUE(WIFEXITED(status)) << "monitor did not stop\n" << console.substr(console.size() > 4000 ? console.size() - 4000 : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
