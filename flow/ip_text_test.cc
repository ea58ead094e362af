#include "flow/ip_text.h"

#include <gtest/gtest.h>

namespace {

TEST(IpToDotted, MostSignificantByteFirst) {
  struct Row {
    uint32_t address;
    const char* text;
  };
  const Row rows[] = {
      {167772161u, "10.0.0.1"},     {0u, "0.0.0.0"},          {0xffffffffu, "255.255.255.255"},
      {0xc0a80001u, "192.168.0.1"}, {0x01000000u, "1.0.0.0"}, {0x0000000au, "0.0.0.10"},
  };
  for (const Row& row : rows) EXPECT_EQ(ipToDotted(row.address), row.text) << "address " << row.address;
}

// RFC 5952 text of addresses given by their text in any valid form; the
// canonical text reads back to the same address.
TEST(Ip6Text, CanonicalFormAndReadBack) {
  struct Row {
    const char* in;
    const char* canonical;
  };
  const Row rows[] = {
      {"::", "::"},
      {"::1", "::1"},
      {"1::", "1::"},
      {"2001:0DB8:0000:0000:0000:0000:0002:0001", "2001:db8::2:1"},
      {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},      // one zero group stays
      {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},          // first of equal runs
      {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},                // longest run
      {"fe80::1:2", "fe80::1:2"},
      {"0:0:0:0:0:ffff:c000:0201", "::ffff:192.0.2.1"},       // mapped: dotted tail
      {"::ffff:10.0.0.1", "::ffff:10.0.0.1"},
      {"::10.0.0.1", "::a00:1"},                               // not mapped: hex
      {"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0"},
      {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
  };
  for (const Row& row : rows) {
    Ip6Address a;
    ASSERT_TRUE(parseIp6(row.in, a)) << row.in;
    EXPECT_EQ(ip6Text(a), row.canonical) << row.in;
    Ip6Address back;
    ASSERT_TRUE(parseIp6(ip6Text(a), back)) << row.in;
    EXPECT_EQ(back, a) << row.in;
  }
}

TEST(ParseIp6, RefusesWhatIsNotOneAddress) {
  for (const char* text : {"", ":", ":::", "1", "1:2:3:4:5:6:7", "1:2:3:4:5:6:7:8:9", "1::2::3", ":1::",
                           "1::2:", "12345::", "g::", "::1%eth0", "[::1]", "1.2.3.4", "::1.2.3", "::1.2.3.4:5",
                           "1:2:3:4:5:6:7:1.2.3.4", " ::1", "::1 ", "1:2:3:4:5:6:7:8::"}) {
    Ip6Address a;
    EXPECT_FALSE(parseIp6(text, a)) << '"' << text << '"';
  }
}

}  // namespace
