#include "platform/kernel_network_events.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A payload as the provider writes it: PID and size little-endian, then
// daddr, saddr, dport and sport in network order, then `tail` bytes of the
// event's own fields (seqnum, connid, ...).
std::vector<uint8_t> payload(uint32_t pid, const char* daddr, const char* saddr, uint16_t dport, uint16_t sport,
                             size_t tail = 12) {
  std::vector<uint8_t> p;
  for (uint32_t v : {pid, 1460u}) {
    for (int i = 0; i < 4; ++i) p.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
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
  p.resize(p.size() + tail, 0x5a);
  return p;
}

std::string ends(const OwnerEvent& e) {
  char a[INET6_ADDRSTRLEN], b[INET6_ADDRSTRLEN];
  const uint32_t la = htonl(e.localAddr), ra = htonl(e.remoteAddr);
  inet_ntop(e.family == 6 ? AF_INET6 : AF_INET, e.family == 6 ? static_cast<const void*>(e.localAddr6.bytes) : &la,
            a, sizeof a);
  inet_ntop(e.family == 6 ? AF_INET6 : AF_INET, e.family == 6 ? static_cast<const void*>(e.remoteAddr6.bytes) : &ra,
            b, sizeof b);
  return std::to_string(e.protocol) + " " + a + " " + std::to_string(e.localPort) + " > " + b + " " +
         std::to_string(e.remotePort) + " pid " + std::to_string(e.pid);
}

TEST(KernelNetworkEvents, DecodesTheLayoutsAndRejectsWhatDoesNotFit) {
  std::vector<uint8_t> shortV4 = payload(7, "192.0.2.1", "10.0.0.1", 80, 40001, 0);
  shortV4.pop_back();
  const struct Case {
    const char* what;
    uint16_t id;
    std::vector<uint8_t> bytes;
    size_t count;      // owner events made; 0: rejected
    std::string want;  // the first one's ends when it is kOwned
  } cases[] = {
      {"TCP connect, IPv4, connect tail", kTcpConnect4, payload(4321, "192.0.2.80", "10.0.0.1", 443, 40000, 28), 1,
       "6 10.0.0.1 40000 > 192.0.2.80 443 pid 4321"},
      {"TCP accept, IPv6, no tail", kTcpAccept6, payload(88, "2001:db8::2", "2001:db8::1", 51000, 22, 0), 1,
       "6 2001:db8::1 22 > 2001:db8::2 51000 pid 88"},
      {"dual-stack socket's IPv4 comes out as IPv4", kTcpRetransmit6,
       payload(5, "::ffff:192.0.2.9", "::ffff:10.0.0.1", 25, 40002), 1, "6 10.0.0.1 40002 > 192.0.2.9 25 pid 5"},
      {"UDP from 0.0.0.0, with its close", kUdpSend4, payload(900, "192.0.2.53", "0.0.0.0", 53, 50000), 2,
       "17 0.0.0.0 50000 > 192.0.2.53 53 pid 900"},
      {"UDP on ::", kUdpReceive6, payload(900, "2001:db8::35", "::", 53, 50000), 2,
       "17 :: 50000 > 2001:db8::35 53 pid 900"},
      {"disconnect", kTcpDisconnect4, payload(7, "192.0.2.1", "10.0.0.1", 80, 40001), 1, ""},
      {"IPv4 one byte short", kTcpConnect4, shortV4, 0, ""},
      {"IPv6 event of an IPv4 length", kUdpSend6, payload(7, "192.0.2.1", "10.0.0.1", 80, 40001, 23), 0, ""},
      {"unknown id", 1000, payload(7, "192.0.2.1", "10.0.0.1", 80, 40001), 0, ""},
      {"local port 0", kUdpSend4, payload(7, "192.0.2.1", "10.0.0.1", 53, 0), 0, ""},
      {"TCP without a peer", kTcpConnect4, payload(7, "0.0.0.0", "10.0.0.1", 80, 40001), 0, ""},
      {"mapped peer of a native IPv6 end", kTcpSend6, payload(7, "::ffff:192.0.2.1", "2001:db8::1", 80, 40001), 0,
       ""},
  };
  for (const Case& c : cases) {
    OwnerEvent out[2];
    out[0].pid = 77777;
    const size_t n = decodeKernelNetworkEvent(c.id, c.bytes.data(), c.bytes.size(), out);
    ASSERT_EQ(n, c.count) << c.what;
    if (n == 0) {
      EXPECT_EQ(out[0].pid, 77777u) << c.what << ": out changed";
      continue;
    }
    EXPECT_EQ(out[0].kind, c.want.empty() ? OwnerEventKind::kClosed : OwnerEventKind::kOwned) << c.what;
    if (!c.want.empty()) EXPECT_EQ(ends(out[0]), c.want) << c.what;
    if (n == 2) EXPECT_TRUE(out[1].kind == OwnerEventKind::kClosed && out[1].cookie == out[0].cookie) << c.what;
  }
}

// A disconnect closes the socket its connect recorded (whatever its pid and
// family form), and no other.
TEST(KernelNetworkEvents, DisconnectClosesTheSocketOfTheSameEnds) {
  const auto cookie = [](uint16_t id, const std::vector<uint8_t>& p) {
    OwnerEvent out[2];
    return decodeKernelNetworkEvent(id, p.data(), p.size(), out) > 0 ? out[0].cookie : 0;
  };
  const uint64_t connected = cookie(kTcpConnect4, payload(7, "192.0.2.1", "10.0.0.1", 80, 40001));
  EXPECT_EQ(cookie(kTcpDisconnect6, payload(9, "::ffff:192.0.2.1", "::ffff:10.0.0.1", 80, 40001)), connected);
  EXPECT_NE(cookie(kTcpDisconnect4, payload(7, "192.0.2.1", "10.0.0.1", 81, 40001)), connected);
  EXPECT_NE(cookie(kUdpSend4, payload(7, "192.0.2.1", "10.0.0.1", 80, 40001)), connected);
  OwnerEvent out[2];
  EXPECT_EQ(decodeKernelNetworkEvent(kTcpConnect4, nullptr, 100, out), 0u);
}

}  // namespace
