// The owner table fed as on Windows: events decoded from the kernel network
// provider's payloads, no namespace, no command name.
#include "process/owner_events.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "platform/kernel_network_events.h"

namespace {

constexpr uint64_t kT = 1700000000000;

uint32_t ip4(const char* text) {
  in_addr a{};
  if (inet_pton(AF_INET, text, &a) != 1) ADD_FAILURE() << text;
  return ntohl(a.s_addr);
}

Ip6Address ip6(const char* text) {
  Ip6Address a;
  if (inet_pton(AF_INET6, text, a.bytes) != 1) ADD_FAILURE() << text;
  return a;
}

// The payload prefix of an event (PID, size, daddr, saddr, dport, sport) and
// a seqnum and 8-byte connid after it.
std::vector<uint8_t> payload(uint32_t pid, const char* daddr, const char* saddr, uint16_t dport, uint16_t sport) {
  std::vector<uint8_t> p;
  const auto little = [&p](uint32_t v) {
    for (int i = 0; i < 4; ++i) p.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  little(pid);
  little(512);
  for (const char* text : {daddr, saddr}) {
    uint8_t a[16];
    const bool six = std::string(text).find(':') != std::string::npos;
    if (inet_pton(six ? AF_INET6 : AF_INET, text, a) != 1) ADD_FAILURE() << text;
    p.insert(p.end(), a, a + (six ? 16 : 4));
  }
  for (uint16_t port : {dport, sport}) {
    p.push_back(static_cast<uint8_t>(port >> 8));
    p.push_back(static_cast<uint8_t>(port));
  }
  for (int i = 0; i < 12; ++i) p.push_back(0x5a);
  return p;
}

struct Event {
  uint16_t id;
  uint32_t pid;
  const char *daddr, *saddr;
  uint16_t dport, sport;
};

std::vector<OwnerEvent> decoded(std::initializer_list<Event> events) {
  std::vector<OwnerEvent> out;
  for (const Event& e : events) {
    const std::vector<uint8_t> p = payload(e.pid, e.daddr, e.saddr, e.dport, e.sport);
    OwnerEvent made[2];
    const size_t n = decodeKernelNetworkEvent(e.id, p.data(), p.size(), made);
    EXPECT_GT(n, 0u) << "event " << e.id << " rejected";
    out.insert(out.end(), made, made + n);
  }
  return out;
}

OwnerRef byPid(uint32_t pid, uint32_t, const char*) { return makeOwner("p" + std::to_string(pid), "u", "d"); }

TEST(WindowsOwnerEvents, GoThroughTheOwnerTableAsOnLinux) {
  const SocketEnds web{ip4("10.0.0.1"), 40000, ip4("192.0.2.80"), 443};
  const SocketEnds dns{ip4("10.0.0.1"), 50000, ip4("192.0.2.53"), 53};
  const SocketEnds6 web6{ip6("2001:db8::1"), 40000, ip6("2001:db8::2"), 443};
  struct Step {
    std::vector<OwnerEvent> events;
    uint64_t after;  // ms after kT
  };
  const struct Case {
    const char* what;
    std::vector<Step> steps;
    uint8_t proto;
    SocketEnds ends;
    SocketEnds6 ends6;  // looked up instead when ends has no local port
    const char* want;
  } cases[] = {
      {"disconnected: gone after it",
       {{decoded({{kTcpConnect4, 100, "192.0.2.80", "10.0.0.1", 443, 40000},
                  {kTcpDisconnect4, 100, "192.0.2.80", "10.0.0.1", 443, 40000}}),
         0},
        {{}, kOwnerGraceMillis}},
       6, web, {}, ""},
      {"pid reused on the same ends: the newest connect names them",
       {{decoded({{kTcpConnect4, 100, "192.0.2.80", "10.0.0.1", 443, 40000},
                  {kTcpDisconnect4, 100, "192.0.2.80", "10.0.0.1", 443, 40000}}),
         0},
        {decoded({{kTcpConnect4, 200, "192.0.2.80", "10.0.0.1", 443, 40000}}), 5},
        {{}, kOwnerGraceMillis + 10}},
       6, web, {}, "p200"},
      {"a receive with pid 0 keeps the connection's owner",
       {{decoded({{kTcpConnect4, 100, "192.0.2.80", "10.0.0.1", 443, 40000}}), 0},
        {decoded({{kTcpReceive4, 0, "192.0.2.80", "10.0.0.1", 443, 40000}}), 5}},
       6, web, {}, "p100"},
      {"UDP from 0.0.0.0 names the flow from a concrete address",
       {{decoded({{kUdpSend4, 300, "192.0.2.53", "0.0.0.0", 53, 50000}}), 0}}, 17, dns, {}, "p300"},
      {"UDP on :: names the IPv6 flow",
       {{decoded({{kUdpReceive6, 300, "2001:db8::2", "::", 443, 40000}}), 0}}, 17, {}, web6, "p300"},
      {"UDP lasts the grace period after it was last seen",
       {{decoded({{kUdpSend4, 300, "192.0.2.53", "0.0.0.0", 53, 50000}}), 0},
        {decoded({{kUdpReceive4, 300, "192.0.2.53", "0.0.0.0", 53, 50000}}), kOwnerGraceMillis - 1},
        {{}, 2 * kOwnerGraceMillis - 2}},
       17, dns, {}, "p300"},
  };
  for (const Case& c : cases) {
    OwnerTable table;
    for (const Step& s : c.steps) {
      applyOwnerEvents(table, s.events, 0, kT + s.after, byPid);
      std::lock_guard<std::mutex> lock(ownerTableMutex);
      expireOwners(table, kT + s.after);
    }
    OwnerRef owner;
    std::lock_guard<std::mutex> lock(ownerTableMutex);
    const bool found = c.ends.localPort != 0 ? findOwner(table, c.proto, c.ends, owner)
                                             : findOwner(table, c.proto, c.ends6, owner);
    EXPECT_EQ(found ? owner->processname : "", c.want) << c.what;
  }
}

}  // namespace
