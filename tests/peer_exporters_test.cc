// Other exporters feeding vantrel-collect: Debian's softflowd, in a
// namespace made here, watches UDP traffic the test sends over a veth pair
// and exports it as IPFIX (its default, times relative to its start), as
// NetFlow v9 and as NetFlow v5; every flow must land in the store with its
// ports, counts and times.
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "platform/clock.h"
#include "store/flow_store.h"
#include "tests/support/system_test.h"

namespace {

using std::chrono::milliseconds;

constexpr uint16_t kSinkPort = 47211;   // where the watched datagrams go
constexpr uint16_t kFirstSource = 47220;
constexpr uint16_t kFillerSource = 47230;
constexpr size_t kPayload = 100;         // 128 bytes an IPv4 packet

// The flows the test makes: from kFirstSource + i, i + 1 datagrams each.
constexpr size_t kFlows = 3;

std::vector<StoredFlow> storedFlows(const std::string& file) {
  std::vector<StoredFlow> out;
  StoreOpenFailure failure;
  std::string error;
  auto store = openFlowStore(file, false, failure, error);
  if (!store) return out;
  store->queryFlows(FlowQuery{}, [&](const StoredFlow& f) { out.push_back(f); }, error);
  return out;
}

TEST(PeerExporters, SoftflowdFlowsLandWithTheirTimesAndCountsInEveryVersion) {
  REQUIRE_ROOT();
  REQUIRE_TOOL("softflowd", "softflowd");
  REQUIRE_TOOL("softflowctl", "softflowd");
  for (const char* version : {"10", "9", "5"}) {
    SCOPED_TRACE(std::string("softflowd -v ") + version);
    // softflowd watches its end of a veth pair (on loopback it would count
    // every packet twice); the collector listens beside it.
    Netns watched("vt-coll-sf"), peer("vt-coll-sfp");
    const std::string link = linkNamespaces(watched, "10.231.7.1/24", peer, "10.231.7.2/24");
    TempDir dir;
    const std::string file = dir.file("flows.sqlite");
    CollectorProcess collector;
    ASSERT_TRUE(collector.start(dir, "127.0.0.1:0", watched.name, {"--store", file, "--keep", "0"}))
        << collector.child.output();
    ChildProcess softflowd;
    ASSERT_TRUE(softflowd.start({"softflowd", "-i", link, "-n", "127.0.0.1:" + std::to_string(collector.port), "-v",
                                 version, "-d", "-p", dir.file("sf.pid"), "-c", dir.file("sf.ctl"),
                                 "udp and dst port " + std::to_string(kSinkPort)},
                                dir.path, dir.file("softflowd.log"), watched.name));
    ASSERT_TRUE(waitFor([&] { return access(dir.file("sf.ctl").c_str(), F_OK) == 0; }, milliseconds(5000)))
        << softflowd.output();
    sleepMillis(500);  // capturing by now

    const uint64_t before = currentTimeMillis();
    uint64_t after = 0;
    inNamespace(peer, [&] {
      const sockaddr_in to = endpoint("10.231.7.1", kSinkPort);
      const std::string payload(kPayload, 'v');
      auto sendFrom = [&](uint16_t port, size_t count, int pauseMillis) {
        const int fd = boundSocket(SOCK_DGRAM, "10.231.7.2", port);
        ASSERT_GE(fd, 0);
        for (size_t n = 0; n < count; ++n) {
          sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
          if (pauseMillis > 0 && n + 1 < count) sleepMillis(pauseMillis);
        }
        close(fd);
      };
      for (size_t i = 0; i < kFlows; ++i) sendFrom(uint16_t(kFirstSource + i), i + 1, 300);
      after = currentTimeMillis();
      // softflowd's capture hands packets over a full buffer block at a
      // time: a flow of filler fills the block behind the test's packets.
      sendFrom(kFillerSource, 20000, 0);
    });
    sleepMillis(500);
    ASSERT_EQ(runCommand("ip netns exec " + watched.name + " softflowctl -c " + dir.file("sf.ctl") +
                         " expire-all >/dev/null"),
              0);
    EXPECT_TRUE(waitFor([&] { return storedFlows(file).size() >= kFlows + 1; }, milliseconds(10000)))
        << collector.child.output();
    softflowd.signal(SIGTERM);
    softflowd.wait(milliseconds(5000));
    collector.child.signal(SIGTERM);
    ASSERT_NE(collector.child.wait(milliseconds(20000)), -1);

    const std::vector<StoredFlow> stored = storedFlows(file);
    ASSERT_GE(stored.size(), kFlows) << collector.child.output();
    for (size_t i = 0; i < kFlows; ++i) {
      const auto f = std::find_if(stored.begin(), stored.end(),
                                  [&](const StoredFlow& s) { return s.srcport == kFirstSource + i; });
      ASSERT_NE(f, stored.end()) << "no flow from port " << kFirstSource + i;
      EXPECT_EQ(f->dstport, kSinkPort);
      EXPECT_EQ(f->proto, 17);
      EXPECT_EQ(f->srcip.text(), "10.231.7.2");
      EXPECT_EQ(f->dstip.text(), "10.231.7.1");
      EXPECT_EQ(f->exporter.text(), "127.0.0.1");
      EXPECT_EQ(f->pkts, i + 1) << "flow " << i;
      EXPECT_EQ(f->bytes, (i + 1) * (kPayload + 28)) << "flow " << i;
      // Times to the second at worst (v5 and v9 headers count seconds).
      EXPECT_GE(f->firstseen + 1000, before) << "flow " << i;
      EXPECT_LE(f->lastseen, after + 1000) << "flow " << i;
      EXPECT_NEAR(double(f->lastseen - f->firstseen), double(i) * 300, 150) << "flow " << i;
    }
  }
}

}  // namespace
