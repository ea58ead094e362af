// Interfaces that come and go under a running monitor, in namespaces made
// here: the watched veth deleted and made again (no busy loop, one error
// line, a quiet console while the listener is absent, capture back by
// itself), and the address of a discovered listener replaced (capture
// follows it).
#include <sys/socket.h>
#include <unistd.h>

#include <json/json.h>

#include <atomic>
#include <cstdio>
#include <sstream>
#include <thread>

#include "platform/clock.h"
#include "tests/support/system_test.h"

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

long millisSince(Clock::time_point t) {
  return static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - t).count());
}

// The monitor in `ns` with the given listenerIP; web interface on 17911.
struct Monitor {
  Monitor(const Netns& where, const std::string& listener) : ns(where) {
    writeFile(dir.file("vantrelsettings.json"),
              "{\"listenerIP\": \"" + listener + "\", \"httpPort\": 17911, \"user\": \"admin\", \"pass\": \"x\"}");
    child.start({binaryPath("vantrel")}, dir.path, dir.file("console.log"), ns.name);
  }
  Json::Value doc(const std::string& query = "") const {
    std::string body;
    ns.exec("curl -s --max-time 5 --digest -u admin:x 'http://127.0.0.1:17911/data/" + query + "'", &body);
    Json::Value v;
    std::istringstream in(body);
    Json::parseFromStream(Json::CharReaderBuilder(), in, &v, nullptr);
    return v;
  }
  size_t count(const std::string& text) const { return countOf(child.output(), text); }
  const Netns& ns;
  TempDir dir;
  ChildProcess child;
};

// One datagram from a new socket on `from` to port 9 of `to`, from the
// calling thread's namespace; the socket stays open, so its owner can be found.
int sendFrom(const char* from, const char* to) {
  const int fd = boundSocket(SOCK_DGRAM, from);
  const sockaddr_in b = endpoint(to, 9);
  sendto(fd, "x", 1, 0, reinterpret_cast<const sockaddr*>(&b), sizeof b);
  return fd;
}

// User and system CPU time of a process, in clock ticks (fields 14 and 15).
long cpuTicks(pid_t pid) {
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  unsigned long user = 0, system = 0;
  sscanf(stat.c_str() + stat.rfind(')') + 2, "%*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %lu %lu", &user, &system);
  return static_cast<long>(user + system);
}

TEST(Interfaces, WatchedVethGoesAwayAndComesBack) {
  REQUIRE_ROOT();
  Netns watched("vt-if-a"), peer("vt-if-b");
  const std::string veth = linkNamespaces(watched, "10.206.1.1/24", peer, "10.206.1.2/24");
  Monitor m(watched, "10.206.1.1");
  const auto counted = [&] {
    inNamespace(watched, [] {
      for (int i = 0; i < 3; ++i) close(sendFrom("10.206.1.1", "10.206.1.2"));
    });
    return waitFor([&] { return m.doc()["snifferPacketCount"].asInt() >= 3; }, milliseconds(3000));
  };
  ASSERT_TRUE(waitFor([&] { return m.count("Listener Socket IO controls set!\n") == 1; }, milliseconds(8000)));
  ASSERT_TRUE(counted());

  ASSERT_EQ(watched.exec("ip link del " + veth), 0);
  ASSERT_TRUE(waitFor([&] { return m.count("Listener binding Socket FAILED code:99\n") == 1; }, milliseconds(3000)))
      << m.child.output();
  const size_t linesBefore = m.count("\n");
  const long ticksBefore = cpuTicks(m.child.pid);
  sleepMillis(3000);
  const long ticks = cpuTicks(m.child.pid) - ticksBefore;
  sleepMillis(7000);
  const size_t quietLines = m.count("\n") - linesBefore;
  printf("after the veth went: %ld ticks of %ld in 3 s, %zu lines in the next 10 s\n", ticks,
         3 * sysconf(_SC_CLK_TCK), quietLines);
  EXPECT_LT(ticks * 20, 3 * sysconf(_SC_CLK_TCK)) << "more than 5 % of a core";
  EXPECT_LT(quietLines, 30u) << m.child.output();
  EXPECT_EQ(m.count("Capture socket error 100 (Network is down)\nExiting sniffer\n"), 1u) << m.child.output();
  // The supervisor tries again every 500 ms, and each try is the capture
  // routine running for as long as its set-up takes; between tries it is not.
  EXPECT_TRUE(waitFor([&] { return !m.doc()["snifferRunning"].asBool(); }, milliseconds(2000)));
  const Json::Value doc = m.doc();
  EXPECT_EQ(doc["captureState"], "failing");
  EXPECT_EQ(doc["captureError"], "Listener binding Socket FAILED code:99 (Cannot assign requested address)");

  const auto back = Clock::now();
  linkNamespaces(watched, "10.206.1.1/24", peer, "10.206.1.2/24");
  EXPECT_TRUE(waitFor([&] { return m.doc()["captureState"] == "capturing"; }, milliseconds(5000)));
  const long resumed = millisSince(back);
  printf("capturing again %ld ms after the veth came back\n", resumed);
  EXPECT_LT(resumed, 2000);
  EXPECT_TRUE(counted()) << m.child.output();
}

TEST(Interfaces, DiscoveredListenerFollowsANewAddress) {
  REQUIRE_ROOT();
  Netns watched("vt-if-c"), peer("vt-if-d");
  const std::string veth = linkNamespaces(watched, "10.206.2.1/24", peer, "10.206.2.2/24");
  Monitor m(watched, "");
  ASSERT_TRUE(waitFor([&] { return m.count("Listener Socket IO controls set!\n") == 1; }, milliseconds(8000)));
  ASSERT_EQ(m.doc()["settings"]["listenerIP"], "10.206.2.1");

  ASSERT_EQ(watched.exec("ip addr del 10.206.2.1/24 dev " + veth), 0);
  ASSERT_EQ(watched.exec("ip addr add 10.206.2.7/24 dev " + veth), 0);
  const auto replaced = Clock::now();
  // A new flow from the new address every 100 ms; only this process has
  // sockets there, so a flow with an owner has this process as its owner.
  std::atomic<bool> done{false};
  std::thread talker([&] {
    if (!enterNamespace(watched)) return;
    std::vector<int> open;
    for (; !done; sleepMillis(100)) open.push_back(sendFrom("10.206.2.7", "10.206.2.2"));
    for (int fd : open) close(fd);
  });
  const bool followed = waitFor(
      [&] {
        const Json::Value doc = m.doc("?requestedData=flows");
        for (const Json::Value& f : doc["flows"]) {
          if (f["srcip"] == "10.206.2.7" && f["outif"].asInt() == 1 && f["processname"] != "") return true;
        }
        return false;
      },
      milliseconds(10000));
  const long took = millisSince(replaced);
  done = true;
  talker.join();
  ASSERT_TRUE(followed) << m.child.output();
  printf("outbound, owned flows of the new address %ld ms after it replaced the old one\n", took);
  EXPECT_LT(took, 2000);
  EXPECT_EQ(m.doc()["settings"]["listenerIP"], "10.206.2.7");
  EXPECT_EQ(m.count("Listener 10.206.2.1 from discovery is no longer the address of its interface; "
                    "discovery chooses again\n"),
            1u);
  EXPECT_EQ(m.count("\nSetting listener from discovery to \tIPV4:10.206.2.7 "), 1u) << m.child.output();
}

}  // namespace
