#include "capture/decode.h"
#include "capture/owner_lookups.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "capture/ipv6_test_frames.h"
#include "flow/flow_table.h"
#include "flow/ip_text.h"
#include "process/process_table.h"
#include "runtime/console.h"
#include "runtime/state.h"
#include "runtime/workers.h"

namespace {

constexpr uint32_t kLocal = 0x0a000001;  // 10.0.0.1
constexpr uint32_t kPeer = 0x0a000002;   // 10.0.0.2
constexpr uint32_t kOther = 0x0a000003;  // 10.0.0.3
constexpr uint64_t kT0 = 1700000000000;  // a packet time in ms

struct LookupCall {
  int proto;
  uint64_t now;
  SocketEnds ends;
  bool flowLockFree;          // flowTableMutex was not held during the call
  uint16_t reverseReplyDelay; // replydelay of the reverse TCP record, if any
  std::string ends6;          // an IPv6 lookup's ends as "[local]:port [remote]:port out|in tos"
};
std::vector<LookupCall> lookups;
FlowKey lookupReverseKey{};  // the test sets it to watch one record

void recordLookup(int proto, uint64_t now, const SocketEnds& ends, OwnerRef& owner) {
  const int32_t port = ends.localPort;
  LookupCall call{proto, now, ends, false, 0};
  if (flowTableMutex.try_lock()) {
    call.flowLockFree = true;
    if (const FlowRecord* r = findFlow(lookupReverseKey)) call.reverseReplyDelay = r->replydelay;
    flowTableMutex.unlock();
  }
  lookups.push_back(call);
  owner = makeOwner("proc" + std::to_string(port), "user" + std::to_string(proto), "HOST");
}
void tcpLookup(uint64_t now, const OwnerQuery& q, OwnerRef& owner) { recordLookup(6, now, q.ends, owner); }
void udpLookup(uint64_t now, const OwnerQuery& q, OwnerRef& owner) { recordLookup(17, now, q.ends, owner); }

void recordLookup6(int proto, uint64_t now, const OwnerQuery6& q, OwnerRef& owner) {
  LookupCall call{proto, now, {}, flowTableMutex.try_lock(), 0, ""};
  if (call.flowLockFree) flowTableMutex.unlock();
  call.ends6 = "[" + ip6Text(q.ends.localAddr) + "]:" + std::to_string(q.ends.localPort) + " [" +
               ip6Text(q.ends.remoteAddr) + "]:" + std::to_string(q.ends.remotePort) +
               (q.outbound ? " out " : " in ") + std::to_string(q.tos);
  lookups.push_back(call);
  owner = makeOwner("proc6-" + std::to_string(q.ends.localPort), "user" + std::to_string(proto), "HOST");
}
void tcpLookup6(uint64_t now, const OwnerQuery6& q, OwnerRef& owner) { recordLookup6(6, now, q, owner); }
void udpLookup6(uint64_t now, const OwnerQuery6& q, OwnerRef& owner) { recordLookup6(17, now, q, owner); }

// The ends a lookup was given, as "local:port remote:port".
std::string endsOf(const LookupCall& call) {
  auto addr = [](uint32_t a, uint16_t port) { return ipToDotted(a) + ":" + std::to_string(port); };
  return addr(call.ends.localAddr, call.ends.localPort) + " " + addr(call.ends.remoteAddr, call.ends.remotePort);
}

// An IPv4 datagram: `headerWords` 32-bit words of IPv4 header (options filled
// with 0xee), then `transport` as given. The total length field is
// `totalLength`, or the real size when 0.
std::vector<uint8_t> datagram(uint8_t proto, uint32_t src, uint32_t dst, std::vector<uint8_t> transport,
                              uint8_t tosByte = 0, uint16_t totalLength = 0, uint8_t headerWords = 5,
                              uint8_t version = 4) {
  const size_t headerBytes = std::max<size_t>(headerWords, 5) * 4;
  std::vector<uint8_t> d(headerBytes, 0xee);
  d[0] = static_cast<uint8_t>(version << 4 | headerWords);
  d[1] = tosByte;
  const size_t size = headerBytes + transport.size();
  const uint16_t total = totalLength != 0 ? totalLength : static_cast<uint16_t>(size);
  d[2] = total >> 8;
  d[3] = total & 0xff;
  d[6] = d[7] = 0;  // not a fragment
  d[8] = 64;
  d[9] = proto;
  for (int i = 0; i < 4; ++i) {
    d[12 + i] = static_cast<uint8_t>(src >> (24 - 8 * i));
    d[16 + i] = static_cast<uint8_t>(dst >> (24 - 8 * i));
  }
  d.insert(d.end(), transport.begin(), transport.end());
  return d;
}

// 20 bytes of TCP header with the given ports and flags byte.
std::vector<uint8_t> tcpHeader(uint16_t sport, uint16_t dport, uint8_t flags) {
  std::vector<uint8_t> t(20, 0);
  t[0] = sport >> 8, t[1] = sport & 0xff, t[2] = dport >> 8, t[3] = dport & 0xff;
  t[12] = 0x50;
  t[13] = flags;
  return t;
}
std::vector<uint8_t> udpHeader(uint16_t sport, uint16_t dport) {
  return {static_cast<uint8_t>(sport >> 8), static_cast<uint8_t>(sport), static_cast<uint8_t>(dport >> 8),
          static_cast<uint8_t>(dport), 0, 8, 0, 0};
}
std::vector<uint8_t> icmpEcho() { return {8, 0, 0, 0, 0, 1, 0, 1}; }

// Decodes the first `length` bytes of `d`; its length on the wire is `wire`,
// or unknown (the header's total length counts) when 0.
void decode(const std::vector<uint8_t>& d, uint64_t now, size_t length = SIZE_MAX, size_t wire = 0) {
  decodePacket(d.data(), std::min(length, d.size()), kLocal, now, wire != 0 ? wire : SIZE_MAX);
}

// The open record of `key` on one line, times from kT0; "none" when there
// is none.
std::string shown(const FlowKey& key) {
  std::lock_guard<std::mutex> lock(flowTableMutex);
  const FlowRecord* r = findFlow(key);
  if (r == nullptr) return "none";
  char text[256];
  snprintf(text, sizeof text, "pkts %u bytes %u flags 0x%02x in %d out %d first %+lld last %+lld delay %d owner %s",
           r->pkts, r->bytes, r->flags, r->inif, r->outif, static_cast<long long>(r->firstseen - kT0),
           static_cast<long long>(r->lastseen - kT0), r->replydelay,
           r->owner ? (r->processname() + "/" + r->user() + "/" + r->domain()).c_str() : "none");
  return text;
}

class DecodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetFlowTables();
    resetVersionLines();
    lookups.clear();
    lookupReverseKey = FlowKey{};
    tcpOwnerLookup = tcpLookup;
    udpOwnerLookup = udpLookup;
    tcpOwnerLookup6 = tcpLookup6;
    udpOwnerLookup6 = udpLookup6;
    const Ip6Address local[] = {frames6::kLocal6, frames6::kLinkLocal6};
    setLocalAddresses6(local, 2);
  }
  void TearDown() override {
    tcpOwnerLookup = quickTcpOwner;
    udpOwnerLookup = quickUdpOwner;
    tcpOwnerLookup6 = quickTcpOwner6;
    udpOwnerLookup6 = quickUdpOwner6;
    setLocalAddresses6(nullptr, 0);
    resetFlowTables();
  }
};

TEST_F(DecodeTest, SynThenSynAckSetsReplyDelayOnOutboundRecordOnly) {
  const FlowKey out{kLocal, kPeer, 40000, 443, 0, 6};
  lookupReverseKey = out;
  decode(datagram(6, kLocal, kPeer, tcpHeader(40000, 443, 0x02)), kT0);
  decode(datagram(6, kPeer, kLocal, tcpHeader(443, 40000, 0x12)), kT0 + 37);
  ASSERT_EQ(flowCacheSize(), 2u);
  EXPECT_EQ(shown(out), "pkts 1 bytes 40 flags 0x02 in 0 out 1 first +0 last +0 delay 37 owner proc40000/user6/HOST");
  EXPECT_EQ(shown(out.reversed()),
            "pkts 1 bytes 40 flags 0x12 in 1 out 0 first +37 last +37 delay 0 owner proc40000/user6/HOST");

  // One lookup per new flow, for the local end whichever way the packet
  // went, without the flow lock, and the reply delay already set when the
  // answer's lookup runs.
  ASSERT_EQ(lookups.size(), 2u);
  for (const LookupCall& call : lookups) {
    EXPECT_EQ(endsOf(call), "10.0.0.1:40000 10.0.0.2:443");
    EXPECT_TRUE(call.flowLockFree);
  }
  EXPECT_EQ(lookups[1].now, kT0 + 37);
  EXPECT_EQ(lookups[1].reverseReplyDelay, 37);

  // Later packets count in, OR their flags and leave replydelay alone.
  decode(datagram(6, kLocal, kPeer, tcpHeader(40000, 443, 0x10), 0, 40), kT0 + 50);
  decode(datagram(6, kLocal, kPeer, tcpHeader(40000, 443, 0x19), 0, 1500), kT0 + 60);
  EXPECT_EQ(shown(out),
            "pkts 3 bytes 1580 flags 0x1b in 0 out 1 first +0 last +60 delay 37 owner proc40000/user6/HOST");
  EXPECT_EQ(lookups.size(), 2u);
}

TEST_F(DecodeTest, ReplyDelayIsTakenModulo65536AndNeedsSyn) {
  const FlowKey out{kLocal, kPeer, 40001, 80, 0, 6};
  decode(datagram(6, kLocal, kPeer, tcpHeader(40001, 80, 0x02)), kT0);
  decode(datagram(6, kPeer, kLocal, tcpHeader(80, 40001, 0x12)), kT0 + 65536 + 5);
  // The same packet's sweep then moves the old SYN record out.
  ASSERT_EQ(toExportSize(), 1u);
  EXPECT_EQ(keyOf(toExport.front()), out);
  EXPECT_EQ(toExport.front().replydelay, 5);

  // A flow that has not seen SYN gets no reply delay.
  decode(datagram(6, kLocal, kPeer, tcpHeader(40002, 80, 0x10)), kT0 + 70000);
  decode(datagram(6, kPeer, kLocal, tcpHeader(80, 40002, 0x10)), kT0 + 70020);
  EXPECT_EQ(shown(FlowKey{kLocal, kPeer, 40002, 80, 0, 6}),
            "pkts 1 bytes 40 flags 0x10 in 0 out 1 first +70000 last +70000 delay 0 owner proc40002/user6/HOST");
}

TEST_F(DecodeTest, FiveUdpDatagramsMakeOneRecordAndOneLookup) {
  const uint16_t lengths[] = {28, 100, 576, 1500, 65535};
  for (int i = 0; i < 5; ++i) {
    decode(datagram(17, kPeer, kLocal, udpHeader(53, 5353), 0, lengths[i]), kT0 + i * 100);
  }
  ASSERT_EQ(flowCacheSize(), 1u);
  EXPECT_EQ(shown(FlowKey{kPeer, kLocal, 53, 5353, 0, 17}),
            "pkts 5 bytes 67739 flags 0x00 in 1 out 0 first +0 last +400 delay 0 owner proc5353/user17/HOST");
  ASSERT_EQ(lookups.size(), 1u);
  EXPECT_EQ(lookups[0].proto, 17);
  EXPECT_EQ(endsOf(lookups[0]), "10.0.0.1:5353 10.0.0.2:53");
}

TEST_F(DecodeTest, BusyFlowIsCutAfterSixtySecondsAndLookedUpAgain) {
  const FlowKey key{kLocal, kPeer, 6000, 53, 0, 17};
  // Sweeps run at 0, 1500, 3000, ... ms; the one at 61500 ms is the first
  // after the flow turned 60 s old.
  for (uint64_t t = 0; t <= 61500; t += 500) decode(datagram(17, kLocal, kPeer, udpHeader(6000, 53)), kT0 + t);
  ASSERT_EQ(toExportSize(), 1u);
  EXPECT_EQ(toExport.front().pkts, 124);
  EXPECT_EQ(shown(key), "none");
  EXPECT_EQ(lookups.size(), 1u);
  decode(datagram(17, kLocal, kPeer, udpHeader(6000, 53)), kT0 + 62000);
  EXPECT_EQ(shown(key),
            "pkts 1 bytes 28 flags 0x00 in 0 out 1 first +62000 last +62000 delay 0 owner proc6000/user17/HOST");
  EXPECT_EQ(lookups.size(), 2u);
}

TEST_F(DecodeTest, IcmpIsCountedIntoLikeUdpAndEndsByTheSameRules) {
  const FlowKey key{kLocal, kPeer, 8, 0, 0, 1};
  decode(datagram(1, kLocal, kPeer, icmpEcho(), 0, 84), kT0);
  decode(datagram(1, kLocal, kPeer, icmpEcho(), 0, 1000), kT0 + 300);
  decode(datagram(1, kLocal, kPeer, icmpEcho(), 0, 84), kT0 + 600);
  ASSERT_EQ(flowCacheSize(), 1u);
  EXPECT_EQ(shown(key), "pkts 3 bytes 1168 flags 0x00 in 0 out 1 first +0 last +600 delay 0 owner none");
  EXPECT_TRUE(lookups.empty());

  // Idle for more than 15 s: the next sweep moves it (here after another
  // host's packet), and the same request starts a new record.
  decode(datagram(1, kOther, kPeer, icmpEcho(), 0, 84), kT0 + 15601);
  decode(datagram(1, kLocal, kPeer, icmpEcho(), 0, 84), kT0 + 15601);
  ASSERT_EQ(toExportSize(), 1u);
  EXPECT_EQ(toExport.front().pkts, 3u);
  EXPECT_EQ(shown(key), "pkts 1 bytes 84 flags 0x00 in 0 out 1 first +15601 last +15601 delay 0 owner none");

  // A ping every second is cut after 60 s like any busy flow.
  // (Sweeps run every other second here: the first past 60 s is at +77601.)
  for (uint64_t at = 16601; at <= 77601; at += 1000) decode(datagram(1, kLocal, kPeer, icmpEcho(), 0, 84), kT0 + at);
  ASSERT_EQ(toExportSize(), 3u);
  EXPECT_EQ(toExport.back().pkts, 63u);
  EXPECT_EQ(toExport.back().bytes, 63u * 84);

  // Type and code are the ports: an inbound "communication prohibited".
  decode(datagram(1, kPeer, kLocal, {3, 13, 0, 0}), kT0 + 76700);
  EXPECT_EQ(shown(FlowKey{kPeer, kLocal, 3, 13, 0, 1}),
            "pkts 1 bytes 24 flags 0x00 in 1 out 0 first +76700 last +76700 delay 0 owner none");
}

// Every protocol makes a flow keyed by its addresses, protocol and DSCP with
// ports 0 and no owner, counted into by each packet.
TEST_F(DecodeTest, EveryProtocolIsCountedIntoAPortlessFlow) {
  using frames6::operator+;
  using frames6::packet6;
  const auto fragment = [](uint8_t proto, std::vector<uint8_t> payload) {
    std::vector<uint8_t> d = datagram(proto, kPeer, kLocal, std::move(payload));
    d[6] = 0x00, d[7] = 185;  // offset 1480
    return d;
  };
  const std::vector<uint8_t> payload(40, 0x5a);
  const std::vector<uint8_t> greHeader = {0, 0, 0x08, 0, 0x45, 0, 0, 20};
  const struct Row {
    const char* what;
    std::vector<uint8_t> packet;
    uint8_t proto;
    bool inbound;
    uint16_t srcport, dstport;  // type and code for ICMP
  } rows[] = {
      {"gre", datagram(47, kLocal, kPeer, greHeader + payload), 47, false, 0, 0},
      {"ipv4 esp", datagram(50, kPeer, kLocal, payload), 50, true, 0, 0},
      {"ipv4 ah", datagram(51, kPeer, kLocal, payload), 51, true, 0, 0},
      {"sctp", datagram(132, kLocal, kPeer, payload), 132, false, 0, 0},
      {"igmp", datagram(2, kPeer, 0xe0000016, {0x22, 0, 0, 0, 0, 0, 0, 0}), 2, true, 0, 0},
      {"ospf", datagram(89, kPeer, 0xe0000005, payload), 89, true, 0, 0},
      {"pim", datagram(103, kLocal, 0xe000000d, {0x20, 0, 0, 0}), 103, false, 0, 0},
      {"ipv6 in ipv4", datagram(41, kLocal, kPeer, packet6(frames6::kUdp, frames6::udpHeader(1, 2))), 41, false, 0, 0},
      {"icmp echo", datagram(1, kLocal, kPeer, icmpEcho()), 1, false, 8, 0},
      {"later fragment of icmp", fragment(1, payload), 1, true, 0, 0},
      {"later fragment of gre", fragment(47, payload), 47, true, 0, 0},
      {"ipv6 esp", packet6(frames6::kEsp, payload, 0, 0, frames6::kPeer6, frames6::kLocal6), 50, true, 0, 0},
      {"ipv6 sctp", packet6(132, payload, 0, 0, frames6::kLocal6, frames6::kPeer6), 132, false, 0, 0},
      {"ipv6 ospf", packet6(89, payload, 0, 0, frames6::kLinkLocal6, frames6::address("ff02::5")), 89, false, 0, 0},
      {"icmpv6 echo", packet6(frames6::kIcmp6, frames6::echo6(128), 0, 0, frames6::kLocal6, frames6::kPeer6), 58,
       false, 128, 0},
      {"later fragment of icmpv6",
       packet6(frames6::kFragment, frames6::fragmentHeader(frames6::kIcmp6, 1232, false) + payload, 0, 0,
               frames6::kPeer6, frames6::kLocal6),
       58, true, 0, 0},
  };
  for (const Row& row : rows) {
    SetUp();
    SCOPED_TRACE(row.what);
    for (int i = 0; i < 3; ++i) decode(row.packet, kT0 + 100 * i);
    const std::vector<FlowEntry> flows = copyFlows();
    ASSERT_EQ(flows.size(), 1u);
    const FlowEntry& f = flows[0];
    EXPECT_EQ(f.proto, row.proto);
    EXPECT_EQ(f.pkts, 3u);
    EXPECT_EQ(f.bytes, 3 * row.packet.size());
    EXPECT_EQ(f.lastseen - f.firstseen, 200u);
    EXPECT_EQ(f.inif, row.inbound ? 1 : 0);
    EXPECT_EQ(f.srcport, row.srcport);
    EXPECT_EQ(f.dstport, row.dstport);
    EXPECT_FALSE(f.owner);
    EXPECT_TRUE(lookups.empty());
  }

  // DSCP splits them as any other flow; a GRE packet of another host pair
  // is another flow.
  SetUp();
  decode(datagram(47, kLocal, kPeer, greHeader, 0xb8), kT0);
  decode(datagram(47, kLocal, kPeer, greHeader, 0xb9), kT0);
  decode(datagram(47, kLocal, kPeer, greHeader, 0x00), kT0);
  decode(datagram(47, kLocal, kOther, greHeader, 0x00), kT0);
  EXPECT_EQ(shown(FlowKey{kLocal, kPeer, 0, 0, 46, 47}).substr(0, 7), "pkts 2 ");
  EXPECT_EQ(shown(FlowKey{kLocal, kPeer, 0, 0, 0, 47}).substr(0, 7), "pkts 1 ");
  EXPECT_EQ(flowCacheSize(), 3u);
}

TEST_F(DecodeTest, OtherVersionsPrintTheMessageAndDoNothingElse) {
  for (uint8_t version : {0, 5, 7, 15}) {
    SCOPED_TRACE("version " + std::to_string(version));
    lastSweepTime = 0;
    {
      std::lock_guard<std::mutex> lock(flowTableMutex);
      flowCache.clear();
      toExport.clear();
      insertFlow(FlowKey{kLocal, kPeer, 1, 2, 0, 17},
                 makeFlowRecord(0, 1, 17, kLocal, kPeer, 1, 2, 100, 0, 0, kT0 - 100000, nullptr));
    }
    auto d = datagram(6, kLocal, kPeer, tcpHeader(40000, 443, 0x02), 0, 0, 5, version);
    ::testing::internal::CaptureStdout();
    decode(d, kT0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Packet  unsupported version " + std::to_string(version) + "  ");
    EXPECT_EQ(flowCacheSize(), 1u);  // the stale flow stays: no sweep check
    EXPECT_EQ(toExportSize(), 0u);
    EXPECT_EQ(lastSweepTime, 0u);
    EXPECT_TRUE(lookups.empty());
  }
}

// A remote host sending 20,000 such frames in 10 s gets one line a second
// onto the console, each after the first with the count it stands for.
TEST_F(DecodeTest, AFloodOfOtherVersionsPrintsOneLineASecond) {
  const auto d = datagram(6, kLocal, kPeer, tcpHeader(40000, 443, 0x02), 0, 0, 5, 12);
  ::testing::internal::CaptureStdout();
  for (int i = 0; i < 20000; ++i) decode(d, kT0 + 100000 + static_cast<uint64_t>(i / 2));
  std::string want = "Packet  unsupported version 12  ";
  for (int second = 1; second < 10; ++second) want += "Packet  unsupported version 12  (1999 like it left out)  ";
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), want);
}

TEST_F(DecodeTest, HeaderOptionsMoveTheTransportFields) {
  // Header length 7: the option bytes (0xee) would give ports 0xeeee if the
  // transport header were read at byte 20.
  auto d = datagram(6, kLocal, kPeer, tcpHeader(40000, 443, 0x02), 0, 0, 7);
  ASSERT_EQ(d[28], 40000 >> 8);
  decode(d, kT0);
  EXPECT_EQ(shown(FlowKey{kLocal, kPeer, 40000, 443, 0, 6}),
            "pkts 1 bytes 48 flags 0x02 in 0 out 1 first +0 last +0 delay 0 owner proc40000/user6/HOST");
}

TEST_F(DecodeTest, DscpSplitsFlowsAndEcnBitsDoNot) {
  decode(datagram(6, kLocal, kPeer, tcpHeader(40000, 443, 0x10), 0xb8), kT0);  // DSCP 46
  decode(datagram(6, kLocal, kPeer, tcpHeader(40000, 443, 0x10), 0xb9), kT0);  // DSCP 46, ECN 1
  decode(datagram(6, kLocal, kPeer, tcpHeader(40000, 443, 0x10), 0x00), kT0);  // DSCP 0
  ASSERT_EQ(flowCacheSize(), 2u);
  EXPECT_EQ(shown(FlowKey{kLocal, kPeer, 40000, 443, 46, 6}).substr(0, 7), "pkts 2 ");
  EXPECT_EQ(shown(FlowKey{kLocal, kPeer, 40000, 443, 0, 6}).substr(0, 7), "pkts 1 ");
  EXPECT_EQ(lookups.size(), 2u);
}

TEST_F(DecodeTest, DirectionAndLocalPort) {
  struct Case {
    const char* what;
    uint8_t proto;
    uint32_t src, dst;
    std::string direction;  // as shown()
    int32_t localPort;
    const char* ends;  // the lookup's local and remote end
  } cases[] = {
      {"tcp outbound", 6, kLocal, kPeer, "in 0 out 1", 1111, "10.0.0.1:1111 10.0.0.2:2222"},
      {"tcp inbound", 6, kPeer, kLocal, "in 1 out 0", 2222, "10.0.0.1:2222 10.0.0.2:1111"},
      {"tcp between two others", 6, kPeer, kOther, "in 1 out 0", 2222, "10.0.0.3:2222 10.0.0.2:1111"},
      {"udp outbound", 17, kLocal, kPeer, "in 0 out 1", 1111, "10.0.0.1:1111 10.0.0.2:2222"},
      {"udp inbound", 17, kPeer, kLocal, "in 1 out 0", 2222, "10.0.0.1:2222 10.0.0.2:1111"},
  };
  for (const Case& c : cases) {
    SetUp();
    SCOPED_TRACE(c.what);
    auto t = c.proto == 6 ? tcpHeader(1111, 2222, 0x18) : udpHeader(1111, 2222);
    decode(datagram(c.proto, c.src, c.dst, t), kT0);
    const std::string owner = "proc" + std::to_string(c.localPort) + "/user" + std::to_string(c.proto) + "/HOST";
    const std::string record = shown(FlowKey{c.src, c.dst, 1111, 2222, 0, c.proto});
    EXPECT_NE(record.find(c.direction + " first +0 last +0 delay 0 owner " + owner), std::string::npos) << record;
    ASSERT_EQ(lookups.size(), 1u);
    EXPECT_EQ(endsOf(lookups[0]), c.ends);
  }
}

TEST_F(DecodeTest, ShortDatagramsMakeNoRecordButRunTheSweep) {
  const auto ipv6Udp = frames6::packet6(frames6::kUdp, frames6::udpHeader(1, 2));
  struct Case {
    const char* what;
    std::vector<uint8_t> d;
    size_t received;
    bool makesRecord;
    bool malformed;  // counted in snifferPacketsMalformed
  } cases[] = {
      {"nothing received", datagram(6, kLocal, kPeer, tcpHeader(1, 2, 2)), 0, false, true},
      {"header length 4", datagram(6, kLocal, kPeer, tcpHeader(1, 2, 2), 0, 0, 4), 40, false, true},
      {"header length 0", datagram(17, kLocal, kPeer, udpHeader(1, 2), 0, 0, 0), 28, false, true},
      {"19 of 20 header bytes", datagram(6, kLocal, kPeer, {}), 19, false, true},
      {"options cut off", datagram(17, kLocal, kPeer, udpHeader(1, 2), 0, 0, 7), 27, false, true},
      {"tcp without flags byte", datagram(6, kLocal, kPeer, tcpHeader(1, 2, 2)), 33, false, true},
      {"tcp up to flags byte", datagram(6, kLocal, kPeer, tcpHeader(1, 2, 2)), 34, true, false},
      {"tcp after options, no flags", datagram(6, kLocal, kPeer, tcpHeader(1, 2, 2), 0, 0, 7), 41, false, true},
      {"tcp after options, flags", datagram(6, kLocal, kPeer, tcpHeader(1, 2, 2), 0, 0, 7), 42, true, false},
      {"udp with 3 bytes", datagram(17, kLocal, kPeer, udpHeader(1, 2)), 23, false, true},
      {"udp ports only", datagram(17, kLocal, kPeer, udpHeader(1, 2)), 24, true, false},
      {"icmp type only", datagram(1, kLocal, kPeer, icmpEcho()), 21, false, true},
      {"icmp type and code", datagram(1, kLocal, kPeer, icmpEcho()), 22, true, false},
      {"igmp", datagram(2, kPeer, kLocal, {0x16, 0, 0, 0, 224, 0, 0, 22}), 28, true, false},
      {"igmp header only", datagram(2, kPeer, kLocal, {0x16, 0, 0, 0, 224, 0, 0, 22}), 20, true, false},
      {"ipv6 udp without its ports", ipv6Udp, 43, false, true},
      {"ipv6 udp ports only", ipv6Udp, 44, true, false},
  };
  for (const Case& c : cases) {
    SetUp();
    SCOPED_TRACE(std::string(c.what) + ", " + std::to_string(c.received) + " bytes received");
    {
      std::lock_guard<std::mutex> lock(flowTableMutex);
      insertFlow(FlowKey{kOther, kPeer, 9, 9, 0, 17},
                 makeFlowRecord(1, 0, 17, kOther, kPeer, 9, 9, 100, 0, 0, kT0 - 20000, nullptr));
    }
    const uint64_t malformedBefore = snifferPacketsMalformed;
    decode(c.d, kT0, c.received);
    EXPECT_EQ(lastSweepTime, kT0);
    EXPECT_EQ(toExportSize(), 1u);
    EXPECT_EQ(flowCacheSize(), c.makesRecord ? 1u : 0u);
    const bool ported = (c.d[0] >> 4) == 6 || c.d[9] == 6 || c.d[9] == 17;
    EXPECT_EQ(lookups.size(), c.makesRecord && ported ? 1u : 0u);
    EXPECT_EQ(snifferPacketsMalformed - malformedBefore, c.malformed ? 1u : 0u);
  }
}

TEST_F(DecodeTest, LaterFragmentsHaveNoPortsAndLengthsNeverExceedTheWire) {
  // A 3000-byte UDP datagram in three fragments of a flow 5000 -> 53; the
  // later ones begin with payload bytes "AAAA".
  auto fragment = [](uint8_t proto, uint16_t flagsAndOffset, std::vector<uint8_t> payload, uint16_t total) {
    std::vector<uint8_t> d = datagram(proto, kPeer, kLocal, std::move(payload), 0, total);
    d[6] = static_cast<uint8_t>(flagsAndOffset >> 8), d[7] = static_cast<uint8_t>(flagsAndOffset);
    return d;
  };
  const std::vector<uint8_t> aaaa(8, 'A');
  struct Row {
    const char* what;
    std::vector<uint8_t> d;
    size_t wire;
    FlowKey key;  // the flow it is counted into; proto 0: none
    uint32_t bytes;
  } rows[] = {
      {"first fragment", fragment(17, 0x2000, udpHeader(5000, 53), 1500), 1500, {kPeer, kLocal, 5000, 53, 0, 17}, 1500},
      {"second fragment", fragment(17, 0x2000 | 185, aaaa, 1500), 1500, {kPeer, kLocal, 0, 0, 0, 17}, 1500},
      {"last fragment", fragment(17, 370, aaaa, 60), 60, {kPeer, kLocal, 0, 0, 0, 17}, 1560},
      {"tcp fragment", fragment(6, 185, aaaa, 28), 28, {kPeer, kLocal, 0, 0, 0, 6}, 28},
      {"icmp fragment", fragment(1, 185, aaaa, 28), 28, {kPeer, kLocal, 0, 0, 0, 1}, 28},
      {"54-byte frame claiming 65535", datagram(6, kPeer, kLocal, tcpHeader(80, 4000, 0x10), 0, 65535), 40,
       {kPeer, kLocal, 80, 4000, 0, 6}, 40},
      {"claim below the frame (padding)", datagram(17, kPeer, kLocal, udpHeader(7, 7), 0, 28), 46,
       {kPeer, kLocal, 7, 7, 0, 17}, 28},
  };
  for (const Row& row : rows) {
    decode(row.d, kT0, SIZE_MAX, row.wire);
    if (row.key.proto != 0) {
      EXPECT_NE(shown(row.key).find(" bytes " + std::to_string(row.bytes) + " "), std::string::npos)
          << row.what << ": " << shown(row.key);
    }
  }
  EXPECT_EQ(flowCacheSize(), 6u) << "no flow from payload bytes";
  EXPECT_EQ(lookups.size(), 3u) << "a fragment without ports has no owner to look up";
  EXPECT_EQ(flowTotals().bytes, 1500u + 1560 + 28 + 28 + 40 + 28);
}

// The open IPv6 record of `key` as shown() shows an IPv4 one, with its label.
std::string shown6(const FlowKey6& key) {
  std::lock_guard<std::mutex> lock(flowTableMutex);
  const FlowEntry* e = findFlow6(key);
  if (e == nullptr) return "none";
  char text[256];
  snprintf(text, sizeof text, "pkts %u bytes %u flags 0x%02x in %d out %d first %+lld delay %d label 0x%05x owner %s",
           e->pkts, e->bytes, e->flags, e->inif, e->outif, static_cast<long long>(e->firstseen - kT0), e->replydelay,
           e->flowlabel, e->owner ? e->processname().c_str() : "none");
  return text;
}

// The Linux capture keeps only the first 128 bytes of a packet: every kind
// still counts what came on the wire, read or not.
TEST_F(DecodeTest, PacketsCutToTheirHeadersCountTheWire) {
  using namespace frames6;
  auto bigTcp = datagram(6, kLocal, kPeer, tcpHeader(40000, 443, 0x10), 0, 1500);
  bigTcp.resize(128, 0);
  auto badHeader = datagram(17, kPeer, kLocal, udpHeader(1, 2), 0, 1500, 4);
  badHeader.resize(128, 0);
  std::vector<uint8_t> otherVersion = bigTcp;
  otherVersion[0] = 0x55;
  std::vector<uint8_t> bigUdp6 = packet6(kUdp, udpHeader(9000, 9001)).payload(1460);
  bigUdp6.resize(128, 0);
  struct Row {
    const char* what;
    std::vector<uint8_t> cut;
    uint32_t counted;
  } rows[] = {
      {"IPv4 TCP of 1500 bytes", bigTcp, 1500},
      {"IPv6 UDP of 1500 bytes", bigUdp6, 1500},
      {"IPv4 with a header length of 4", badHeader, 1500},
      {"version 5", otherVersion, 1500},
  };
  testing::internal::CaptureStdout();
  for (const Row& row : rows) {
    EXPECT_EQ(decodePacket(row.cut.data(), row.cut.size(), kLocal, kT0, 1500), row.counted) << row.what;
  }
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(shown(FlowKey{kLocal, kPeer, 40000, 443, 0, 6}).substr(0, 18), "pkts 1 bytes 1500 ");
  EXPECT_EQ(shown6(FlowKey6{kPeer6, kLocal6, 9000, 9001, 0, kUdp}).substr(0, 18), "pkts 1 bytes 1500 ");
}

TEST_F(DecodeTest, Ipv6FlowsTakeDirectionOwnersLabelsAndCounts) {
  using namespace frames6;
  const Ip6Address mdns = address("ff02::fb");
  struct Sent {
    std::vector<uint8_t> packet;
    uint64_t at;  // ms after kT0
  } sent[] = {
      {packet6(kTcp, tcpHeader(40000, 443, 0x02), 0, 0x11111, kLocal6, kPeer6), 0},
      {packet6(kTcp, tcpHeader(443, 40000, 0x12), 0, 0x33333, kPeer6, kLocal6), 25},
      {packet6(kTcp, tcpHeader(40000, 443, 0x10), 0, 0x22222, kLocal6, kPeer6).payload(1460), 30},
      {packet6(kUdp, udpHeader(5353, 5353), 0, 0, kLinkLocal6, mdns), 40},
      {packet6(kUdp, udpHeader(53, 5000), 0xb8, 0, kPeer6, kLocal6), 50},
      {packet6(kUdp, udpHeader(6000, 7000), 0, 0, kPeer6, kOther6), 60},
      {packet6(kIcmp6, echo6(128), 0, 0, kLocal6, kPeer6), 70},
      {packet6(kIcmp6, echo6(128), 0, 0, kLocal6, kPeer6).payload(100), 80},
      {packet6(kIcmp6, echo6(129), 0, 0, kPeer6, kLocal6), 90},
      {packet6(kEsp, std::vector<uint8_t>(24, 0x55), 0, 0, kPeer6, kLocal6), 100},
      {packet6(kEsp, std::vector<uint8_t>(24, 0x55), 0, 0, kPeer6, kLocal6), 110},
      {packet6(kFragment, fragmentHeader(kUdp, 1232, false) + std::vector<uint8_t>(8, 'A'), 0, 0, kPeer6, kLocal6), 120},
  };
  testing::internal::CaptureStdout();
  for (const Sent& s : sent) decode(s.packet, kT0 + s.at);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "IPv6 is no unsupported version";

  const struct {
    const char* what;
    FlowKey6 key;
    std::string record;
  } open[] = {
      {"tcp out", {kLocal6, kPeer6, 40000, 443, 0, kTcp},
       "pkts 2 bytes 1560 flags 0x12 in 0 out 1 first +0 delay 25 label 0x11111 owner proc6-40000"},
      {"tcp in", {kPeer6, kLocal6, 443, 40000, 0, kTcp},
       "pkts 1 bytes 60 flags 0x12 in 1 out 0 first +25 delay 0 label 0x33333 owner proc6-40000"},
      {"udp from the link-local address", {kLinkLocal6, mdns, 5353, 5353, 0, kUdp},
       "pkts 1 bytes 48 flags 0x00 in 0 out 1 first +40 delay 0 label 0x00000 owner proc6-5353"},
      {"udp in, DSCP 46", {kPeer6, kLocal6, 53, 5000, 46, kUdp},
       "pkts 1 bytes 48 flags 0x00 in 1 out 0 first +50 delay 0 label 0x00000 owner proc6-5000"},
      {"udp between two others", {kPeer6, kOther6, 6000, 7000, 0, kUdp},
       "pkts 1 bytes 48 flags 0x00 in 1 out 0 first +60 delay 0 label 0x00000 owner proc6-7000"},
      {"echo request", {kLocal6, kPeer6, 128, 0, 0, kIcmp6},
       "pkts 2 bytes 188 flags 0x00 in 0 out 1 first +70 delay 0 label 0x00000 owner none"},
      {"echo reply", {kPeer6, kLocal6, 129, 0, 0, kIcmp6},
       "pkts 1 bytes 48 flags 0x00 in 1 out 0 first +90 delay 0 label 0x00000 owner none"},
      {"esp, counted without owner", {kPeer6, kLocal6, 0, 0, 0, kEsp},
       "pkts 2 bytes 128 flags 0x00 in 1 out 0 first +100 delay 0 label 0x00000 owner none"},
      {"later fragment", {kPeer6, kLocal6, 0, 0, 0, kUdp},
       "pkts 1 bytes 56 flags 0x00 in 1 out 0 first +120 delay 0 label 0x00000 owner none"},
  };
  for (const auto& o : open) EXPECT_EQ(shown6(o.key), o.record) << o.what;
  EXPECT_EQ(flowCacheSize(), std::size(open));
  std::lock_guard<std::mutex> lock(flowTableMutex);
  EXPECT_TRUE(flowCache.empty()) << "no IPv6 packet lands in the IPv4 table";

  const char* wanted[] = {
      "[2001:db8::1]:40000 [2001:db8::2]:443 out 0", "[2001:db8::1]:40000 [2001:db8::2]:443 in 0",
      "[fe80::1]:5353 [ff02::fb]:5353 out 0",        "[2001:db8::1]:5000 [2001:db8::2]:53 in 46",
      "[2001:db8:ffff::3]:7000 [2001:db8::2]:6000 in 0",
  };
  ASSERT_EQ(lookups.size(), std::size(wanted));
  for (size_t i = 0; i < lookups.size(); ++i) {
    EXPECT_EQ(lookups[i].ends6, wanted[i]);
    EXPECT_TRUE(lookups[i].flowLockFree) << wanted[i];
  }
}

// Windows hands receive-all buffers over from the IP header on without the
// length on the wire, cuts a longer packet to its buffer, and shows a send
// whose segmentation it left to the network card with a length field of 0.
TEST_F(DecodeTest, WindowsShapedBuffersCountWhatTheyCanKnow) {
  using namespace frames6;
  std::vector<uint8_t> jumboFrame = packet6(kUdp, udpHeader(9000, 9001)).payload(8960);
  jumboFrame.resize(8960 + 40, 0);
  auto offloaded4 = datagram(6, kLocal, kPeer, tcpHeader(40000, 80, 0x10), 0, 0);
  offloaded4.resize(1400, 0);
  offloaded4[2] = offloaded4[3] = 0;
  std::vector<uint8_t> offloaded6 = packet6(kTcp, tcpHeader(40001, 80, 0x10), 0, 0, kLocal6, kPeer6).payload(0);
  offloaded6.resize(1400, 0);
  struct Row {
    const char* what;
    std::vector<uint8_t> buffer;
    size_t received;
    uint32_t counted;
  } rows[] = {
      {"IPv6 packet cut to the 4098-byte buffer", jumboFrame, 4098, 9000},
      {"IPv4 send with total length 0", offloaded4, 1400, 1400},
      {"IPv6 send with payload length 0", offloaded6, 1400, 1400},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(decodePacket(row.buffer.data(), row.received, kLocal, kT0, SIZE_MAX), row.counted) << row.what;
  }
  EXPECT_EQ(shown6(FlowKey6{kPeer6, kLocal6, 9000, 9001, 0, kUdp}).substr(0, 18), "pkts 1 bytes 9000 ");
  EXPECT_EQ(shown(FlowKey{kLocal, kPeer, 40000, 80, 0, 6}).substr(0, 18), "pkts 1 bytes 1400 ");
  EXPECT_EQ(shown6(FlowKey6{kLocal6, kPeer6, 40001, 80, 0, kTcp}).substr(0, 18), "pkts 1 bytes 1400 ");
}

// Batches of the capture ring count exactly as the same packets one by one:
// flows known before and made within the batch, both directions of a TCP
// handshake (reply delay), ICMP, short and unsupported packets, a later
// fragment, IPv6, across more than one batch.
TEST_F(DecodeTest, BatchesCountAsOneByOne) {
  std::vector<std::vector<uint8_t>> packets;
  for (uint16_t i = 0; i < 50; ++i) {
    packets.push_back(datagram(17, kLocal, kPeer, udpHeader(static_cast<uint16_t>(40000 + i % 7), 53)));
    if (i % 10 == 0) {
      packets.push_back(datagram(6, kLocal, kPeer, tcpHeader(static_cast<uint16_t>(41000 + i), 80, 0x02)));
      packets.push_back(datagram(6, kPeer, kLocal, tcpHeader(80, static_cast<uint16_t>(41000 + i), 0x12)));
      packets.push_back(datagram(1, kPeer, kLocal, icmpEcho()));
      packets.push_back(std::vector<uint8_t>(packets.back().begin(), packets.back().begin() + 12));
      auto fragment = datagram(17, kPeer, kLocal, udpHeader(1, 2));
      fragment[7] = 0x10;
      packets.push_back(fragment);
      packets.push_back(frames6::packet6(frames6::kUdp, frames6::udpHeader(static_cast<uint16_t>(5000 + i), 53)));
      packets.push_back(datagram(17, kLocal, kPeer, udpHeader(1, 2), 0, 0, 5, 11));
      // IPv6: a handshake both ways, ICMPv6, a later fragment.
      const auto port6 = static_cast<uint16_t>(42000 + i);
      packets.push_back(frames6::packet6(frames6::kTcp, frames6::tcpHeader(port6, 443, 0x02), 0, 0, frames6::kLocal6,
                                         frames6::kPeer6));
      packets.push_back(frames6::packet6(frames6::kTcp, frames6::tcpHeader(443, port6, 0x12)));
      packets.push_back(frames6::packet6(frames6::kIcmp6, frames6::echo6()));
      std::vector<uint8_t> later = frames6::fragmentHeader(frames6::kUdp, 8, false);
      later.resize(later.size() + 16);
      packets.push_back(frames6::packet6(frames6::kFragment, later));
    }
    // IPv6 flows known by now, counted into.
    packets.push_back(frames6::packet6(frames6::kUdp, frames6::udpHeader(static_cast<uint16_t>(5000 + i / 10 * 10), 53)));
  }
  auto state = [] {
    std::vector<std::string> flows;
    for (const FlowEntry& e : copyFlows()) {
      flows.push_back(std::to_string(e.family) + " " + std::to_string(e.proto) + " " + std::to_string(e.srcport) + ">" +
                      std::to_string(e.dstport) + " pkts " + std::to_string(e.pkts) + " bytes " +
                      std::to_string(e.bytes) + " flags " + std::to_string(e.flags) + " delay " +
                      std::to_string(e.replydelay) + " last " + std::to_string(e.lastseen - kT0));
    }
    std::sort(flows.begin(), flows.end());
    flows.push_back("lookups " + std::to_string(lookups.size()) + " malformed " +
                    std::to_string(snifferPacketsMalformed.load()));
    return flows;
  };
  snifferPacketsMalformed = 0;
  testing::internal::CaptureStdout();
  std::vector<uint32_t> oneByOne;
  for (size_t i = 0; i < packets.size(); ++i) {
    oneByOne.push_back(decodePacket(packets[i].data(), packets[i].size(), kLocal, kT0 + i));
  }
  const auto expected = state();
  resetFlowTables();
  lookups.clear();
  snifferPacketsMalformed = 0;
  std::vector<CapturedPacket> batch;
  for (size_t i = 0; i < packets.size(); ++i) {
    batch.push_back(CapturedPacket{packets[i].data(), packets[i].size(), 0, kT0 + i});
  }
  std::vector<uint32_t> counted(batch.size());
  decodePackets(batch.data(), batch.size(), kLocal, counted.data());
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(state(), expected);
  EXPECT_EQ(counted, oneByOne);
  EXPECT_GT(packets.size(), 64u) << "more than one batch";
}

// The console's repeat rule as each of its users shows it: a capture run
// failing in its set-up (held lines, a minute), a supervisor's off line (a
// minute) and the version message above (a second).
TEST(RepeatedMessages, FirstInFullThenCountedThenOneLineWithTheCount) {
  const std::string fail99 = "Listening as ip is correct \"10.9.9.9\"\n\tIfIndex (IPv4 interface): 1\n"
                             "\nBinding to :10.9.9.9\nListener binding Socket FAILED code:99\n";
  const std::string fail100 = "Listening as ip is correct \"10.9.9.9\"\n\nListener binding Socket FAILED code:100\n";
  const std::string started = "Listening as ip is correct \"10.9.9.9\"\n\nListener Socket IO controls set!\n";
  const std::string off = "Not exporting as ip is incorrect \"0.0.0.0\"\n";
  struct Step {
    char user;  // 'c' a capture pass that failed, 's' one whose run started, 'o' an off line, 'd' a frame
    std::string input;  // the pass's lines, the off line, or the frame's version digit
    uint64_t at;
    std::string printed;
  } steps[] = {
      {'c', fail99, 0, fail99},
      {'c', fail99, 500, ""},
      {'c', fail99, 59999, ""},
      {'c', fail99, 60000,
       "Capture still failing: Listener binding Socket FAILED code:99 (3 retries since the last report)\n"},
      {'c', fail100, 61000, fail100},
      {'c', fail99, 61500, fail99},
      {'s', started, 62000, started},
      {'c', fail99, 62500, fail99},
      {'o', off, 0, off},
      {'o', off, 500, ""},
      {'o', off, 60000, "Not exporting as ip is incorrect \"0.0.0.0\" (2 times since the last report)\n"},
      {'d', "7", 1000, "Packet  unsupported version 7  "},
      {'d', "7", 1500, ""},
      {'d', "9", 1600, "Packet  unsupported version 9  "},
      {'d', "7", 1999, ""},
      {'d', "7", 2000, "Packet  unsupported version 7  (2 like it left out)  "},
      {'d', "7", 3500, "Packet  unsupported version 7  "},
  };
  resetGate(captureWorker.repeats);
  resetGate(exportWorker.repeats);
  resetVersionLines();
  for (const Step& s : steps) {
    testing::internal::CaptureStdout();
    if (s.user == 'd') {
      const uint8_t frame[20] = {static_cast<uint8_t>((s.input[0] - '0') << 4 | 5)};
      decodePacket(frame, sizeof frame, 0, s.at);
    } else if (s.user == 'o') {
      showOffLine(exportWorker, s.input, s.at);
    } else {
      holdRunLines(captureWorker);
      consoleWrite(s.input);
      if (s.user == 's') consoleRelease();
      showRunLines(captureWorker, s.at);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), s.printed) << s.user << " at " << s.at << ": " << s.input;
  }
}

}  // namespace
