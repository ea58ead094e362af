#include "platform/linux/socket_rows.h"

#include <endian.h>
#include <gtest/gtest.h>

namespace {

// The kernel prints each address as its network-order word in native order;
// these fixtures are the text of a little-endian machine.
constexpr const char* kTcpText =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
    "   0: 00000000:07E8 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 1351 1 "
    "00000000c79472b9 100 0 0 10 0\n"
    "   1: 0100007F:1FA3 0100007F:C350 01 00000000:00000000 00:00000000 00000000  1000        0 43540 1 "
    "000000009728f007 20 4 30 10 -1\n"
    "   2: 0101A8C0:0016 6401A8C0:D431 06 00000000:00000000 03:000016A1 00000000     0        0 0 3 "
    "0000000000000000\n"
    "   3: garbage line\n"
    "   4: 0100007G:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 77 1\n"
    "   5: FFFFFFFF:FFFF 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 18446744073709551615";

constexpr const char* kUdpText =
    "   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode ref pointer "
    "drops\n"
    "  123: 3500007F:0035 00000000:0000 07 00000000:00000000 00:00000000 00000000   101        0 20573 2 "
    "00000000a1b2c3d4 0\n"
    "  200: 00000000:0044 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 20000 2 "
    "00000000a1b2c3d5 0\n";

TEST(SocketRowsTest, ParsesProcNetText) {
  if (BYTE_ORDER != LITTLE_ENDIAN) GTEST_SKIP() << "fixtures hold little-endian text";
  struct Expected {
    uint32_t localAddr;
    uint16_t localPort;
    uint32_t remoteAddr;
    uint16_t remotePort;
    uint64_t inode;
  };
  struct Case {
    const char* what;
    const char* text;
    std::vector<Expected> rows;
  } cases[] = {
      {"tcp",
       kTcpText,
       {{0, 2024, 0, 0, 1351},
        {0x7f000001, 8099, 0x7f000001, 50000, 43540},
        {0xc0a80101, 22, 0xc0a80164, 54321, 0},
        {0xffffffff, 65535, 0, 0, UINT64_MAX}}},
      {"udp", kUdpText, {{0x7f000035, 53, 0, 0, 20573}, {0, 68, 0, 0, 20000}}},
      {"header only", "  sl  local_address rem_address\n", {}},
      {"empty", "", {}},
      {"header without newline", "  sl  local_address", {}},
      {"short line", "hdr\n 0: 0100007F:0050 00000000:0000 0A 1:2 3:4 5 6 7\n", {}},
  };
  for (const Case& c : cases) {
    std::vector<SocketRow> rows;
    parseProcNetSockets(c.text, rows);
    ASSERT_EQ(rows.size(), c.rows.size()) << c.what;
    for (size_t i = 0; i < rows.size(); ++i) {
      EXPECT_EQ(rows[i].localAddr, c.rows[i].localAddr) << c.what << " row " << i;
      EXPECT_EQ(rows[i].localPort, c.rows[i].localPort) << c.what << " row " << i;
      EXPECT_EQ(rows[i].remoteAddr, c.rows[i].remoteAddr) << c.what << " row " << i;
      EXPECT_EQ(rows[i].remotePort, c.rows[i].remotePort) << c.what << " row " << i;
      EXPECT_EQ(rows[i].inode, c.rows[i].inode) << c.what << " row " << i;
      EXPECT_EQ(rows[i].pid, 0u) << c.what << " row " << i;
    }
  }
}

// tcp6 text: a listener on [::], a connection between 2001:db8::1 and ::2,
// one between IPv4-mapped ends, and an IPv4 line.
constexpr const char* kTcp6Text =
    "  sl  local_address                         remote_address                        st tx_queue rx_queue tr "
    "tm->when retrnsmt   uid  timeout inode\n"
    "   0: 00000000000000000000000000000000:1F90 00000000000000000000000000000000:0000 0A 00000000:00000000 "
    "00:00000000 00000000     0        0 100 1 0000000000000000 100 0 0 10 0\n"
    "   1: B80D0120000000000000000001000000:C350 B80D0120000000000000000002000000:01BB 01 00000000:00000000 "
    "00:00000000 00000000  1000        0 200 1 0000000000000000 20 4 30 10 -1\n"
    "   2: 0000000000000000FFFF00000100007F:0050 0000000000000000FFFF00000200007F:D431 01 00000000:00000000 "
    "00:00000000 00000000     0        0 300 1 0000000000000000 20 4 30 10 -1\n"
    "   3: 0100007F:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 400 1\n";

TEST(SocketRowsTest, Ipv6TextGivesFullEndsOrTheIpv4EndsOfSocketsThatCarryIpv4) {
  if (BYTE_ORDER != LITTLE_ENDIAN) GTEST_SKIP() << "fixtures hold little-endian text";
  std::vector<SocketRow> v6, v4;
  parseProcNetSockets6(kTcp6Text, v6);
  parseProcNetSockets(kTcp6Text, v4);
  ASSERT_EQ(v6.size(), 2u) << "the listener on [::] and the IPv6 connection";
  EXPECT_TRUE(v6[0].localAddr6.unspecified() && v6[0].remoteAddr6.unspecified());
  EXPECT_EQ(v6[0].localPort, 8080);
  EXPECT_EQ(v6[0].inode, 100u);
  const uint8_t near[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  Ip6Address far = Ip6Address::fromBytes(near);
  far.bytes[15] = 2;
  EXPECT_TRUE(v6[1].localAddr6 == Ip6Address::fromBytes(near) && v6[1].remoteAddr6 == far);
  EXPECT_EQ(v6[1].localPort, 50000);
  EXPECT_EQ(v6[1].remotePort, 443);
  EXPECT_EQ(v6[1].inode, 200u);

  std::vector<uint64_t> inodes;
  for (const SocketRow& r : v4) inodes.push_back(r.inode);
  EXPECT_EQ(inodes, (std::vector<uint64_t>{100, 300, 400})) << "IPv4 rows: [::], the mapped ends, the IPv4 line";
}

TEST(SocketRowsTest, SortsTcpByBothEndsAndUdpByLocalEnd) {
  auto row = [](uint32_t la, uint16_t lp, uint32_t ra, uint16_t rp, uint32_t pid) {
    SocketRow r;
    r.localAddr = la;
    r.localPort = lp;
    r.remoteAddr = ra;
    r.remotePort = rp;
    r.pid = pid;
    return r;
  };
  const std::vector<SocketRow> scrambled = {
      row(0x7f000001, 80, 0x7f000002, 1, 1), row(0x7f000001, 80, 0, 0, 9), row(0, 443, 0, 0, 2),
      row(0x7f000001, 79, 0xffffffff, 9, 3), row(0x7f000001, 80, 0x7f000001, 2, 4), row(0x7f000001, 80, 0, 0, 5),
  };
  std::vector<SocketRow> tcp = scrambled;
  sortTcpRows(tcp);
  std::vector<uint32_t> pids;
  for (const SocketRow& r : tcp) pids.push_back(r.pid);
  EXPECT_EQ(pids, (std::vector<uint32_t>{2, 3, 5, 9, 4, 1}));

  std::vector<SocketRow> udp = scrambled;
  sortUdpRows(udp);
  pids.clear();
  for (const SocketRow& r : udp) pids.push_back(r.pid);
  EXPECT_EQ(pids, (std::vector<uint32_t>{2, 3, 1, 4, 5, 9}));
}

}  // namespace
