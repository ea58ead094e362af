#include "platform/endpoints.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace {

TEST(EndpointsTest, KeepsTheIpv6SocketsThatCarryIpv4AndMapsTheirEnds) {
  struct Case {
    const char* local;
    const char* remote;
    bool v6only;
    bool kept;
    uint32_t localAddr, remoteAddr;
  } cases[] = {
      {"::", "::", false, true, 0, 0},
      {"::", "::", true, false, 0, 0},
      {"::ffff:10.1.2.3", "::", false, true, 0x0a010203, 0},
      {"::ffff:10.1.2.3", "::ffff:192.168.0.255", false, true, 0x0a010203, 0xc0a800ff},
      {"::ffff:10.1.2.3", "::ffff:192.168.0.255", true, true, 0x0a010203, 0xc0a800ff},
      {"::ffff:0.0.0.0", "::", false, true, 0, 0},
      {"::", "::ffff:10.0.0.9", false, true, 0, 0x0a000009},
      {"::1", "::", false, false, 0, 0},
      {"2001:db8::1", "::", false, false, 0, 0},
      {"::ffff:10.1.2.3", "2001:db8::2", false, false, 0, 0},
      {"::", "fe80::1", false, false, 0, 0},
      {"::10.1.2.3", "::", false, false, 0, 0},
      {"::fffe:10.1.2.3", "::", false, false, 0, 0},
      {"0:0:0:0:1:ffff:a01:203", "::", false, false, 0, 0},
      {"64:ff9b::10.1.2.3", "::", false, false, 0, 0},
  };
  for (const Case& c : cases) {
    uint8_t local[16], remote[16];
    ASSERT_EQ(inet_pton(AF_INET6, c.local, local), 1) << c.local;
    ASSERT_EQ(inet_pton(AF_INET6, c.remote, remote), 1) << c.remote;
    uint32_t localAddr = 7, remoteAddr = 7;
    const std::string what = std::string(c.local) + " to " + c.remote + (c.v6only ? ", IPv6 only" : "");
    EXPECT_EQ(ipv4EndsOfIpv6Socket(local, remote, c.v6only, localAddr, remoteAddr), c.kept) << what;
    if (!c.kept) continue;
    EXPECT_EQ(localAddr, c.localAddr) << what;
    EXPECT_EQ(remoteAddr, c.remoteAddr) << what;
  }
}

}  // namespace
