#include "capture/decode6.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "capture/ipv6_test_frames.h"

namespace {

using namespace frames6;

// The fields as one line, or the verdict alone when there is no record.
std::string shown(Ipv6Read read, const Ipv6Fields& f) {
  if (read == Ipv6Read::kMalformed) return "malformed";
  char text[160];
  snprintf(text, sizeof text, "%s proto %d ports %d>%d dscp %d label 0x%05x length %u%s flags 0x%02x",
           read == Ipv6Read::kRecord ? "record" : "none", f.proto, f.srcport, f.dstport, f.dscp, f.flowLabel,
           f.length, f.noPorts ? " noports" : "", f.tcpFlags);
  return text;
}

TEST(ReadIpv6, HeadersChainsFragmentsAndLengths) {
  const auto udp = udpHeader(5353, 53);
  const auto syn = tcpHeader(40000, 443, 0x02);
  std::vector<uint8_t> six;  // destination options, each naming another after it
  for (int i = 0; i < 6; ++i) six = six + extension(kDestOpts, 0);
  std::vector<uint8_t> jumboHop = {kUdp, 0, 0xc2, 4, 0, 1, 0x11, 0x70};  // Jumbo Payload 70000
  std::vector<uint8_t> padHop = {kUdp, 0, 0, 1, 4, 0, 0, 0};             // Pad1, then PadN: no jumbo
  struct Row {
    const char* what;
    std::vector<uint8_t> packet;
    size_t wire;  // SIZE_MAX: unknown
    std::string want;
  } rows[] = {
      {"tcp, traffic class 0xb9 and a flow label", packet6(kTcp, syn, 0xb9, 0xabcde), 60,
       "record proto 6 ports 40000>443 dscp 46 label 0xabcde length 60 flags 0x02"},
      {"udp after hop-by-hop", packet6(kHopByHop, extension(kUdp, 0) + udp), 56,
       "record proto 17 ports 5353>53 dscp 0 label 0x00000 length 56 flags 0x00"},
      {"udp after routing of 24 bytes", packet6(kRouting, extension(kUdp, 2) + udp), 72,
       "record proto 17 ports 5353>53 dscp 0 label 0x00000 length 72 flags 0x00"},
      {"tcp after destination options", packet6(kDestOpts, extension(kTcp, 1) + syn), 76,
       "record proto 6 ports 40000>443 dscp 0 label 0x00000 length 76 flags 0x02"},
      {"icmpv6 echo after AH of 24 bytes", packet6(kAh, authHeader(kIcmp6, 4) + echo6()), 72,
       "record proto 58 ports 128>0 dscp 0 label 0x00000 length 72 flags 0x00"},
      {"first fragment keeps its ports", packet6(kFragment, fragmentHeader(kUdp, 0, true) + udp), 1280,
       "record proto 17 ports 5353>53 dscp 0 label 0x00000 length 56 flags 0x00"},
      {"later fragment of udp: no ports", packet6(kFragment, fragmentHeader(kUdp, 1232, false) + udp), SIZE_MAX,
       "record proto 17 ports 0>0 dscp 0 label 0x00000 length 56 noports flags 0x00"},
      {"later fragment of tcp after hop-by-hop",
       packet6(kHopByHop, extension(kFragment, 0) + fragmentHeader(kTcp, 8, true) + syn), SIZE_MAX,
       "record proto 6 ports 0>0 dscp 0 label 0x00000 length 76 noports flags 0x00"},
      {"later fragment of icmpv6", packet6(kFragment, fragmentHeader(kIcmp6, 8, false) + echo6()), SIZE_MAX,
       "record proto 58 ports 0>0 dscp 0 label 0x00000 length 56 noports flags 0x00"},
      {"later fragment, options next", packet6(kFragment, fragmentHeader(kDestOpts, 8, false) + udp), SIZE_MAX,
       "record proto 60 ports 0>0 dscp 0 label 0x00000 length 56 noports flags 0x00"},
      {"esp ends the chain", packet6(kEsp, std::vector<uint8_t>(16, 0x55)), SIZE_MAX,
       "record proto 50 ports 0>0 dscp 0 label 0x00000 length 56 noports flags 0x00"},
      {"esp after hop-by-hop", packet6(kHopByHop, extension(kEsp, 0) + std::vector<uint8_t>(16, 0x55)), SIZE_MAX,
       "record proto 50 ports 0>0 dscp 0 label 0x00000 length 64 noports flags 0x00"},
      {"no next header", packet6(kNoNext, {}, 0x20), SIZE_MAX,
       "record proto 59 ports 0>0 dscp 8 label 0x00000 length 40 noports flags 0x00"},
      {"sctp: ports 0", packet6(132, std::vector<uint8_t>(12, 0)), SIZE_MAX,
       "record proto 132 ports 0>0 dscp 0 label 0x00000 length 52 noports flags 0x00"},
      {"eight extension headers", packet6(kHopByHop, extension(kDestOpts, 0) + six + extension(kUdp, 0) + udp),
       SIZE_MAX,
       "record proto 17 ports 5353>53 dscp 0 label 0x00000 length 112 flags 0x00"},
      {"nine extension headers",
       packet6(kHopByHop, extension(kDestOpts, 0) + six + extension(kDestOpts, 0) + extension(kUdp, 0) + udp),
       SIZE_MAX, "malformed"},
      {"routing header longer than the packet", packet6(kRouting, extension(kUdp, 4) + udp).resize(60), SIZE_MAX,
       "malformed"},
      {"extension header without its length byte", packet6(kHopByHop, {kUdp}), SIZE_MAX, "malformed"},
      {"AH longer than the packet", packet6(kAh, authHeader(kUdp, 4)).resize(60), SIZE_MAX, "malformed"},
      {"tcp cut before its flags byte", packet6(kTcp, syn).resize(53), SIZE_MAX, "malformed"},
      {"udp without its ports", packet6(kUdp, udp).resize(43), SIZE_MAX, "malformed"},
      {"39 bytes", packet6(kUdp, udp).resize(39), SIZE_MAX, "malformed"},
      {"claims 1000, 48 on the wire", packet6(kUdp, udp).payload(960), 48,
       "record proto 17 ports 5353>53 dscp 0 label 0x00000 length 48 flags 0x00"},
      {"claims 48, 64 on the wire (padding)", packet6(kUdp, udp + std::vector<uint8_t>(16, 0)).payload(8), 64,
       "record proto 17 ports 5353>53 dscp 0 label 0x00000 length 48 flags 0x00"},
      {"payload length 0, wire known", packet6(kUdp, udp).payload(0), 1500,
       "record proto 17 ports 5353>53 dscp 0 label 0x00000 length 1500 flags 0x00"},
      {"payload length 0, wire unknown: bytes received", packet6(kUdp, udp).payload(0), SIZE_MAX,
       "record proto 17 ports 5353>53 dscp 0 label 0x00000 length 48 flags 0x00"},
      {"jumbogram, wire unknown", packet6(kHopByHop, jumboHop + udp).payload(0), SIZE_MAX,
       "record proto 17 ports 5353>53 dscp 0 label 0x00000 length 70040 flags 0x00"},
      {"jumbogram, wire known", packet6(kHopByHop, jumboHop + udp).payload(0), 66000,
       "record proto 17 ports 5353>53 dscp 0 label 0x00000 length 66000 flags 0x00"},
      {"padding options, no jumbo", packet6(kHopByHop, padHop + udp).payload(0), SIZE_MAX,
       "record proto 17 ports 5353>53 dscp 0 label 0x00000 length 56 flags 0x00"},
  };
  for (const Row& row : rows) {
    Ipv6Fields f;
    const Ipv6Read read = readIpv6(row.packet.data(), row.packet.size(), row.wire, f);
    EXPECT_EQ(shown(read, f), row.want) << row.what;
  }
}

}  // namespace
