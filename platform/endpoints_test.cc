#include "platform/endpoints.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace {

TEST(EndpointsTest, KeepsTheIpv6SocketsThatCarryIpv4AndMapsTheirEnds) {
  struct Case {
    const char *local, *remote;
    bool v6only, kept;
    uint32_t localAddr, remoteAddr;
  } cases[] = {
      {"::", "::", false, true, 0, 0},
      {"::", "::", true, false, 0, 0},
      {"::ffff:10.1.2.3", "::ffff:192.168.0.255", true, true, 0x0a010203, 0xc0a800ff},
      {"::ffff:0.0.0.0", "::", false, true, 0, 0},
      {"::1", "::", false, false, 0, 0},
      {"::ffff:10.1.2.3", "2001:db8::2", false, false, 0, 0},
      {"::10.1.2.3", "::", false, false, 0, 0},
      {"::fffe:10.1.2.3", "::", false, false, 0, 0},
      {"64:ff9b::10.1.2.3", "::", false, false, 0, 0},
  };
  for (const Case& c : cases) {
    uint8_t local[16], remote[16];
    ASSERT_TRUE(inet_pton(AF_INET6, c.local, local) == 1 && inet_pton(AF_INET6, c.remote, remote) == 1);
    uint32_t localAddr = 7, remoteAddr = 7;
    const bool kept = ipv4EndsOfIpv6Socket(local, remote, c.v6only, localAddr, remoteAddr);
    EXPECT_EQ(kept, c.kept) << c.local << " to " << c.remote << (c.v6only ? ", IPv6 only" : "");
    if (kept && c.kept) {
      EXPECT_TRUE(localAddr == c.localAddr && remoteAddr == c.remoteAddr) << c.local << " to " << c.remote;
    }
  }
}

}  // namespace
