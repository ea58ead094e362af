// The owner table fed as on Windows: events decoded from the kernel network
// provider's payloads, no namespace, no command name.
#include "process/owner_events.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "platform/kernel_network_events.h"

namespace {

constexpr uint64_t kT = 1700000000000;

// One event: its id and pid, then remote and local address and port (the
// payload's order), addresses of one family.
struct Event {
  uint16_t id;
  uint32_t pid;
  const char *daddr, *saddr;
  uint16_t dport, sport;
};

std::vector<OwnerEvent> decoded(std::initializer_list<Event> events) {
  std::vector<OwnerEvent> out;
  for (const Event& e : events) {
    std::vector<uint8_t> p;
    for (uint32_t v : {e.pid, 512u}) {
      for (int i = 0; i < 4; ++i) p.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    const int family = std::string(e.daddr).find(':') != std::string::npos ? AF_INET6 : AF_INET;
    for (const char* text : {e.daddr, e.saddr}) {
      uint8_t a[16];
      if (inet_pton(family, text, a) != 1) ADD_FAILURE() << text;
      p.insert(p.end(), a, a + (family == AF_INET6 ? 16 : 4));
    }
    for (uint16_t port : {e.dport, e.sport}) p.insert(p.end(), {static_cast<uint8_t>(port >> 8), uint8_t(port)});
    p.resize(p.size() + 12);  // seqnum, connid
    OwnerEvent made[2];
    const size_t n = decodeKernelNetworkEvent(e.id, p.data(), p.size(), made);
    EXPECT_GT(n, 0u) << "event " << e.id << " rejected";
    out.insert(out.end(), made, made + n);
  }
  return out;
}

OwnerRef byPid(uint32_t pid, uint32_t, const char*, uint64_t) { return makeOwner("p" + std::to_string(pid), "u", "d"); }

TEST(WindowsOwnerEvents, GoThroughTheOwnerTableAsOnLinux) {
  // The flows looked up: each the packet's ends as the local socket sees them.
  const std::vector<OwnerEvent> web = decoded({{kTcpSend4, 1, "192.0.2.80", "10.0.0.1", 443, 40000}});
  const std::vector<OwnerEvent> dns = decoded({{kUdpSend4, 1, "192.0.2.53", "10.0.0.1", 53, 50000}});
  const std::vector<OwnerEvent> web6 = decoded({{kUdpSend6, 1, "2001:db8::2", "2001:db8::1", 443, 40000}});
  const Event connect{kTcpConnect4, 100, "192.0.2.80", "10.0.0.1", 443, 40000};
  Event disconnect = connect, receive = connect;
  disconnect.id = kTcpDisconnect4;
  receive.id = kTcpReceive4;
  receive.pid = 0;
  const Event udpSend{kUdpSend4, 300, "192.0.2.53", "0.0.0.0", 53, 50000};
  const struct Case {
    const char* what;
    std::vector<std::pair<std::vector<OwnerEvent>, uint64_t>> steps;  // events, ms after kT
    const OwnerEvent& flow;
    const char* want;
  } cases[] = {
      {"pid reused on the same ends: the newest connect names them",
       {{decoded({connect, disconnect}), 0},
        {decoded({{kTcpConnect4, 200, "192.0.2.80", "10.0.0.1", 443, 40000}}), 5},
        {{}, kOwnerGraceMillis + 10}},
       web[0], "p200"},
      {"a receive with pid 0 keeps the connection's owner", {{decoded({connect}), 0}, {decoded({receive}), 5}},
       web[0], "p100"},
      {"UDP from 0.0.0.0 names the flow of a concrete address", {{decoded({udpSend}), 0}}, dns[0], "p300"},
      {"UDP on :: names the IPv6 flow", {{decoded({{kUdpReceive6, 300, "2001:db8::2", "::", 443, 40000}}), 0}},
       web6[0], "p300"},
      {"UDP lasts the grace period from its last use",
       {{decoded({udpSend}), 0}, {decoded({udpSend}), kOwnerGraceMillis - 1}, {{}, 2 * kOwnerGraceMillis - 2}},
       dns[0], "p300"},
  };
  for (const Case& c : cases) {
    OwnerTable table;
    for (const auto& [events, after] : c.steps) {
      applyOwnerEvents(table, events, 0, kT + after, byPid);
      std::lock_guard<std::mutex> lock(ownerTableMutex);
      expireOwners(table, kT + after);
    }
    const OwnerEvent& f = c.flow;
    OwnerRef owner;
    std::lock_guard<std::mutex> lock(ownerTableMutex);
    const bool found =
        f.family == 6
            ? findOwner(table, f.protocol, SocketEnds6{f.localAddr6, f.localPort, f.remoteAddr6, f.remotePort}, owner)
            : findOwner(table, f.protocol, SocketEnds{f.localAddr, f.localPort, f.remoteAddr, f.remotePort}, owner);
    EXPECT_EQ(found ? owner->processname : "", c.want) << c.what;
  }
}

}  // namespace
