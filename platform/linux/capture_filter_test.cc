#include "platform/linux/capture_filter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#if __has_include(<bpf/bpf.h>)
#include <bpf/bpf.h>

namespace {

constexpr uint32_t kCut = 128;
constexpr uint32_t kWhole = 0xFFFFFFFFu;
constexpr uint8_t kTcp = 6, kUdp = 17;

using Bytes = std::vector<uint8_t>;

struct Ends {
  uint8_t src, dst;  // last byte of 10.1.0.x, or of fd00::x for IPv6
  uint16_t sport, dport;
};

void put16(Bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v >> 8);
  b[at + 1] = static_cast<uint8_t>(v);
}

// An Ethernet frame (the kernel's test run takes the link header off, as a
// SOCK_DGRAM packet socket sees it) holding one TCP or UDP packet.
Bytes frame(bool ipv6, uint8_t proto, Ends e, const Bytes& payload, uint16_t fragment = 0) {
  const size_t ipBytes = ipv6 ? 40 : 20, transportBytes = proto == kTcp ? 20 : 8;
  Bytes b(14 + ipBytes + transportBytes);
  put16(b, 12, ipv6 ? 0x86dd : 0x0800);
  uint8_t* ip = b.data() + 14;
  const size_t total = ipBytes + transportBytes + payload.size();
  if (ipv6) {
    ip[0] = 0x60;
    put16(b, 14 + 4, static_cast<uint16_t>(total - 40));
    ip[6] = proto;
    ip[7] = 64;
    ip[8] = ip[24] = 0xfd;
    ip[23] = e.src;
    ip[39] = e.dst;
  } else {
    ip[0] = 0x45;
    put16(b, 14 + 2, static_cast<uint16_t>(total));
    put16(b, 14 + 6, fragment);
    ip[8] = 64;
    ip[9] = proto;
    ip[12] = ip[16] = 10;
    ip[13] = ip[17] = 1;
    ip[15] = e.src;
    ip[19] = e.dst;
  }
  const size_t t = 14 + ipBytes;
  put16(b, t, e.sport);
  put16(b, t + 2, e.dport);
  if (proto == kTcp) {
    b[t + 12] = 5 << 4;
    b[t + 13] = 0x18;
  } else {
    put16(b, t + 4, static_cast<uint16_t>(8 + payload.size()));
  }
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

// The start of a DNS message over TCP: its length, then a header with one question.
Bytes dnsOverTcpStart(uint16_t messageLength) {
  Bytes b(2 + 12 + 20, 0x41);
  put16(b, 0, messageLength);
  put16(b, 2, 0x1234);
  put16(b, 4, 0x8180);
  put16(b, 6, 1);
  return b;
}

// What `program` keeps of the frame: a cut, all of it, or nothing.
uint32_t kept(int program, const Bytes& f) {
  LIBBPF_OPTS(bpf_test_run_opts, run, .data_in = f.data(), .data_size_in = static_cast<uint32_t>(f.size()));
  EXPECT_EQ(bpf_prog_test_run_opts(program, &run), 0) << std::strerror(errno);
  return run.retval;
}

class CaptureFilter : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: loads a kernel program";
    int error = 0;
    program_ = loadCaptureFilter(true, error);
    if (program_ < 0 && error == ENOSYS) GTEST_SKIP() << "built without the kernel programs";
    ASSERT_GE(program_, 0) << "loading the capture filter: " << std::strerror(error);
  }
  void TearDown() override {
    if (program_ >= 0) close(program_);
  }
  uint32_t kept(const Bytes& f) { return ::kept(program_, f); }
  int program_ = -1;
};

TEST_F(CaptureFilter, KeepsWholeOnlyWhatNamesNeed) {
  Bytes question(40, 0);
  put16(question, 4, 1);
  Bytes clientHello(60, 0), serverHello(60, 0), quic(40, 0);
  clientHello[0] = serverHello[0] = 0x16;
  clientHello[1] = serverHello[1] = 0x03;
  clientHello[5] = 1;
  serverHello[5] = 2;
  quic[0] = 0xc3;
  const Bytes zeros(1000, 0);
  struct Case {
    const char* what;
    Bytes frame;
    uint32_t kept;
  } cases[] = {
      {"UDP DNS with a question", frame(false, kUdp, {1, 2, 40000, 53}, question), kWhole},
      {"UDP DNS answer over IPv6", frame(true, kUdp, {2, 1, 53, 40000}, question), kWhole},
      {"UDP to port 53 without a question", frame(false, kUdp, {1, 2, 40001, 53}, zeros), kCut},
      {"QUIC long header", frame(false, kUdp, {1, 2, 40002, 443}, quic), kWhole},
      {"other UDP", frame(false, kUdp, {1, 2, 40003, 5000}, zeros), kCut},
      {"TLS ClientHello", frame(false, kTcp, {1, 2, 40004, 443}, clientHello), kWhole},
      {"TLS ClientHello over IPv6", frame(true, kTcp, {1, 2, 40004, 443}, clientHello), kWhole},
      {"TLS ServerHello", frame(false, kTcp, {2, 1, 443, 40004}, serverHello), kCut},
      {"other TCP", frame(false, kTcp, {1, 2, 40005, 80}, zeros), kCut},
      {"TCP to port 53 without payload", frame(false, kTcp, {1, 2, 40006, 53}, {}), kCut},
      {"TCP to port 53 that is not DNS", frame(false, kTcp, {1, 2, 40007, 53}, zeros), kCut},
      {"a later IPv4 fragment", frame(false, kUdp, {1, 2, 40008, 53}, question, 0x0010), kCut},
  };
  for (const Case& c : cases) EXPECT_EQ(kept(c.frame), c.kept) << c.what;

  Bytes arp(60, 0);
  put16(arp, 12, 0x0806);
  EXPECT_EQ(kept(arp), 0u) << "not IP";
  Bytes hopByHop = frame(true, kUdp, {1, 2, 40009, 5000}, zeros);
  hopByHop[14 + 6] = 0;
  EXPECT_EQ(kept(hopByHop), kWhole) << "IPv6 with an extension header";
  Bytes icmp6 = frame(true, kUdp, {1, 2, 0, 0}, zeros);
  icmp6[14 + 6] = 58;
  EXPECT_EQ(kept(icmp6), kCut) << "ICMPv6";
}

// A DNS answer over TCP may span segments whose bytes look like anything:
// they come whole once their direction of the connection began a message,
// and only theirs.
TEST_F(CaptureFilter, DnsOverTcpComesWholeOnceItsDirectionBeganAMessage) {
  const Bytes rest(600, 0);
  for (bool ipv6 : {false, true}) {
    const Ends answer{2, 1, 53, 41000}, query{1, 2, 41000, 53}, other{2, 1, 53, 41001};
    EXPECT_EQ(kept(frame(ipv6, kTcp, answer, rest)), kCut) << "before any message, ipv6 " << ipv6;
    EXPECT_EQ(kept(frame(ipv6, kTcp, answer, dnsOverTcpStart(1500))), kWhole) << ipv6;
    EXPECT_EQ(kept(frame(ipv6, kTcp, answer, rest)), kWhole) << "the message goes on, ipv6 " << ipv6;
    EXPECT_EQ(kept(frame(ipv6, kTcp, answer, rest)), kWhole) << ipv6;
    EXPECT_EQ(kept(frame(ipv6, kTcp, query, rest)), kCut) << "the other direction, ipv6 " << ipv6;
    EXPECT_EQ(kept(frame(ipv6, kTcp, other, rest)), kCut) << "another connection, ipv6 " << ipv6;
  }
  // The length alone in a segment of its own, then the message.
  const Ends apart{4, 1, 53, 41003};
  EXPECT_EQ(kept(frame(false, kTcp, apart, {0x05, 0xdc})), kWhole);
  EXPECT_EQ(kept(frame(false, kTcp, apart, rest)), kWhole) << "the message after its length";
  Bytes noQuestion = dnsOverTcpStart(1500);
  put16(noQuestion, 6, 0);
  EXPECT_EQ(kept(frame(false, kTcp, {3, 1, 53, 41002}, noQuestion)), kCut);
  EXPECT_EQ(kept(frame(false, kTcp, {3, 1, 53, 41002}, dnsOverTcpStart(11))), kCut) << "shorter than a header";
}

// Without IPv6 the program drops IPv6 packets, as the capture has not yet
// been told the interface's IPv6 addresses.
TEST(CaptureFilterIpv4, DropsIpv6UntilAsked) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: loads a kernel program";
  int error = 0;
  const int program = loadCaptureFilter(false, error);
  if (program < 0 && error == ENOSYS) GTEST_SKIP() << "built without the kernel programs";
  ASSERT_GE(program, 0) << std::strerror(error);
  EXPECT_EQ(kept(program, frame(true, kUdp, {1, 2, 40000, 5000}, Bytes(10, 0))), 0u);
  close(program);
}

}  // namespace

#endif
