#include "capture/names/dns_message.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// Hex text, spaces and '|' between fields ignored.
std::vector<uint8_t> bytes(const std::string& hex) {
  std::vector<uint8_t> out;
  std::string digits;
  for (char c : hex) {
    if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
  }
  for (size_t i = 0; i + 1 < digits.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return out;
}

std::string addressText(const DnsAddress& a) {
  char text[64];
  if (a.family == 4) {
    std::snprintf(text, sizeof text, "%u.%u.%u.%u/%u", a.address[0], a.address[1], a.address[2], a.address[3], a.ttl);
  } else {
    std::snprintf(text, sizeof text, "%02x%02x..%02x%02x/%u", a.address[0], a.address[1], a.address[14], a.address[15], a.ttl);
  }
  return text;
}

// The question www.example.com A IN at offset 12, as every message below has it.
const std::string kQuestion = "03 777777 07 6578616d706c65 03 636f6d 00 | 0001 | 0001";
// An OPT record (EDNS, 4096-byte UDP payload) for the additional section.
const std::string kOpt = "00 | 0029 | 1000 | 00000000 | 0000";

// Five labels of 63 bytes: 320 bytes in wire form.
std::string longName() {
  std::string hex;
  for (int label = 0; label < 5; ++label) {
    hex += "3f";
    for (int i = 0; i < 63; ++i) hex += "61";
  }
  return hex;
}
const std::string kLongName = longName();

struct Case {
  const char* what;
  std::string message;
  bool ok;
  bool response, truncated;
  const char* question;
  std::vector<std::string> addresses;  // family-specific text with TTL, in answer order
};

TEST(DnsMessage, ReadsMessages) {
  const Case cases[] = {
      {"query with EDNS", "1234 0100 0001 0000 0000 0001" + kQuestion + kOpt, true, false, false, "www.example.com", {}},
      // Records out of order: the A of the chain's end first, then the two CNAMEs, then an AAAA
      // and an A of a name the chain does not reach. Names compressed through pointers into
      // earlier records (edge.example.net at 33, "cdn" at 77).
      {"CNAME chain, any order",
       "1234 8180 0001 0005 0000 0001" + kQuestion +
           "04 65646765 07 6578616d706c65 03 6e6574 00 | 0001 0001 00000e10 0004 c0000201"  // edge.example.net A
           "c00c | 0005 0001 0000003c 0006 | 03 63646e c026"                               // www -> cdn.example.net
           "c04d | 0005 0001 0000003c 0002 | c021"                                          // cdn -> edge.example.net
           "c021 | 001c 0001 0000012c 0010 | 20010db8000000000000000000000001"              // edge AAAA
           "05 6f74686572 00 | 0001 0001 00000e10 0004 c6336407"                            // other. A
           + kOpt,
       true, true, false, "www.example.com", {"192.0.2.1/3600", "2001..0001/300"}},
      // Two answers of dnsmasq on 127.0.0.1 (www.vne.test CNAME web.vne.test CNAME edge.cdn.vne.test,
      // addresses from a hosts file), as it sent them.
      {"dnsmasq: A through two CNAMEs, EDNS",
       "5a01858000010003000000010377777703766e6504746573740000010001c00c0005000100000000000e0377656203766e65"
       "047465737400c02a0005000100000000001304656467650363646e03766e65047465737400c04400010001000000000004c0"
       "00020a00002904d0000000000000",
       true, true, false, "www.vne.test", {"192.0.2.10/0"}},
      {"dnsmasq: AAAA for a question in mixed case",
       "5a02858000010003000000000357575703766e65047465737400001c0001c00c0005000100000000000e0377656203766e65"
       "047465737400c02a0005000100000000001304656467650363646e03766e65047465737400c044001c000100000000001020"
       "010db8000000000000000000000010",
       true, true, false, "www.vne.test", {"2001..0010/0"}},
      {"upper case and bytes to escape", "0001 0100 0001 0000 0000 0000 05 612e622063 07 4558414d504c45 00 0001 0001",
       true, false, false, "a\\046b\\032c.example", {}},
      {"truncated answer", "1234 8380 0001 0000 0000 0000" + kQuestion, true, true, true, "www.example.com", {}},
      {"answer not for the question", "1234 8180 0001 0001 0000 0000" + kQuestion + "05 6f74686572 00 0001 0001 00000e10 0004 c6336407",
       true, true, false, "www.example.com", {}},
      {"short header", "1234 0100 0001 0000 0000 00", false},
      {"pointer to itself", "1234 0100 0001 0000 0000 0000 c00c 0001 0001", false},
      {"two pointers to each other", "1234 0100 0001 0000 0000 0000 c00e c00c 0001 0001", false},
      {"pointer past the end", "1234 0100 0001 0000 0000 0000 c0ff 0001 0001", false},
      {"label past the end", "1234 0100 0001 0000 0000 0000 05 6162", false},
      {"reserved label type", "1234 0100 0001 0000 0000 0000 41 00 0001 0001", false},
      {"question cut short", "1234 0100 0001 0000 0000 0000 03 777777 00 0001", false},
      {"answer count past the end", "1234 8180 0001 0001 0000 0000" + kQuestion, false},
      {"record data past the end", "1234 8180 0001 0001 0000 0000" + kQuestion + "c00c 0001 0001 00000e10 0008 c0000201", false},
      {"CNAME name past its data", "1234 8180 0001 0001 0000 0000" + kQuestion + "c00c 0005 0001 0000003c 0002 03 636466 00", false},
      {"name over 255 bytes", "1234 0100 0001 0000 0000 0000" + kLongName + "00 0001 0001", false},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> message = bytes(c.message);
    DnsMessageView view;
    const bool ok = parseDnsMessage(message.data(), message.size(), &view);
    ASSERT_EQ(ok, c.ok) << c.what;
    if (!ok) continue;
    EXPECT_EQ(view.response, c.response) << c.what;
    EXPECT_EQ(view.truncated, c.truncated) << c.what;
    EXPECT_EQ(std::string(view.question, view.questionLength), c.question) << c.what;
    std::vector<std::string> got;
    for (size_t i = 0; i < view.addressCount; ++i) got.push_back(addressText(view.addresses[i]));
    EXPECT_EQ(got, c.addresses) << c.what;
    // Every shorter piece of a good message is read without a read past its end (ASan checks).
    for (size_t n = 0; n < message.size(); ++n) {
      std::vector<uint8_t> piece(message.begin(), message.begin() + static_cast<std::ptrdiff_t>(n));
      parseDnsMessage(piece.data(), piece.size(), &view);
    }
  }
}

TEST(DnsMessage, KeepsThirtyTwoAddresses) {
  std::string message = "0007 8180 0001 0028 0000 0000" + kQuestion;
  for (int i = 0; i < 40; ++i) {
    char record[64];
    std::snprintf(record, sizeof record, "c00c 0001 0001 0000003c 0004 0a0000%02x", i);
    message += record;
  }
  const std::vector<uint8_t> wire = bytes(message);
  DnsMessageView view;
  ASSERT_TRUE(parseDnsMessage(wire.data(), wire.size(), &view));
  ASSERT_EQ(view.addressCount, 32u);
  EXPECT_EQ(view.addresses[31].address[3], 31);
}

}  // namespace
