// A flood of new flows from a peer, as a scan or a reflection makes them:
// the capture routine of this process watches a veth link while the peer
// sends datagrams from a new port each to ports nobody owns here. Every one
// is counted, the kernel drops none, and a local program's flow that comes
// right after still gets its owner from the look-up worker.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "capture/capture.h"
#include "flow/flow_table.h"
#include "platform/clock.h"
#include "runtime/settings.h"
#include "runtime/state.h"
#include "tests/support/system_test.h"

namespace {

using std::chrono::milliseconds;

constexpr const char* kNear = "10.201.10.1";  // watched
constexpr const char* kFar = "10.201.10.2";
constexpr uint16_t kUnowned = 5300;

// Datagrams to `near` from the peer, each from a socket of its own (so a new
// source port, a new flow): `count` to port kUnowned, then `count` to as
// many other ports nobody holds.
void flood(int count) {
  const char payload[16] = {};
  for (int i = 0; i < 2 * count; ++i) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = endpoint(kNear, static_cast<uint16_t>(i < count ? kUnowned : 30000 + i - count));
    sendto(fd, payload, sizeof payload, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    close(fd);
  }
}

struct Counted {
  uint64_t atUnowned = 0, elsewhere = 0;
};

// Packets of the peer's datagrams in the open flows.
Counted countFlood() {
  Counted c;
  for (const FlowRecord& r : copyFlows()) {
    if (r.proto != 17 || r.dstip != 0x0ac90a01u) continue;
    (r.dstport == kUnowned ? c.atUnowned : c.elsewhere) += r.pkts;
  }
  return c;
}

TEST(OwnerFlood, NewFlowsAtUnownedPortsAreAllCountedAndLocalProgramsStayOwned) {
  REQUIRE_ROOT();
  Netns watched("vt-fl-a");
  Netns peer("vt-fl-b");
  linkNamespaces(watched, std::string(kNear) + "/24", peer, std::string(kFar) + "/24");
  resetFlowTables();
  setSetting("listenerIP", kNear);
  snifferPacketCount = -1000000;
  keepSniffing = true;
  testing::internal::CaptureStdout();
  std::thread run([&watched] {
    if (enterNamespace(watched)) runSniffer();
  });
  const bool started = waitFor([] { return snifferPacketCount >= 0; }, milliseconds(5000));
  testing::internal::GetCapturedStdout();
  ASSERT_TRUE(started);
  const uint64_t droppedBefore = snifferPacketsDropped;

  const int kEach = 3000;
  inNamespace(peer, [] { flood(kEach); });
  // A local program's flow right behind the flood; its socket stays open a
  // while, as a program's would.
  uint16_t localPort = 0;
  inNamespace(watched, [&] {
    const int fd = boundSocket(SOCK_DGRAM, kNear);
    localPort = ::localPort(fd);
    const sockaddr_in to = endpoint(kFar, 9);
    sendto(fd, "q", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    sleepMillis(500);
    close(fd);
  });

  Counted counted;
  EXPECT_TRUE(waitFor(
      [&] {
        counted = countFlood();
        return counted.atUnowned + counted.elsewhere >= 2u * kEach;
      },
      milliseconds(5000)));
  EXPECT_EQ(counted.atUnowned, static_cast<uint64_t>(kEach));
  EXPECT_EQ(counted.elsewhere, static_cast<uint64_t>(kEach));
  EXPECT_EQ(snifferPacketsDropped - droppedBefore, 0u);
  bool owned = false;
  for (const FlowRecord& r : copyFlows()) {
    if (r.proto == 17 && r.srcport == localPort && r.dstport == 9) {
      EXPECT_EQ(r.processname(), OwnIdentity().processname);
      owned = true;
    }
  }
  EXPECT_TRUE(owned) << "the local program's flow is missing";

  testing::internal::CaptureStdout();
  keepSniffing = false;
  run.join();
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(snifferRunning);
  resetFlowTables();
}

}  // namespace
