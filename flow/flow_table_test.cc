#include "flow/flow_table.h"

#include <gtest/gtest.h>

namespace {

class FlowTableTest : public testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }
  static void reset() { resetFlowTables(); }
  static FlowRecord record(uint32_t src, uint16_t srcport, uint64_t first, uint64_t last) {
    FlowRecord r = makeFlowRecord(1, 0, 6, src, 0x0a000001, srcport, 443, 60, 0x02, 0, first,
                                  makeOwner("proc", "alice", "HOST1"));
    r.lastseen = last;
    return r;
  }
  static void add(const FlowRecord& r) {
    std::lock_guard<std::mutex> lock(flowTableMutex);
    FlowRecord copy = r;
    insertFlow(keyOf(r), std::move(copy));
  }
};

TEST(FlowRecordTest, CountingOrsFlagsForTcpOnly) {
  FlowRecord tcp = makeFlowRecord(0, 1, 6, 1, 2, 3, 4, 65535, 0x02, 0, 100, nullptr);
  countPacket(tcp, 150, 1, 0x10);
  countPacket(tcp, 160, 65535, 0x01);
  EXPECT_EQ(tcp.pkts, 3u);
  EXPECT_EQ(tcp.bytes, 2u * 65535 + 1);
  EXPECT_EQ(tcp.flags, 0x13);
  EXPECT_EQ(tcp.firstseen, 100u);
  EXPECT_EQ(tcp.lastseen, 160u);

  FlowRecord udp = makeFlowRecord(1, 0, 17, 1, 2, 3, 4, 100, 0, 0, 100, nullptr);
  countPacket(udp, 101, 100, 0xff);
  EXPECT_EQ(udp.flags, 0);
  EXPECT_EQ(udp.processname(), "");
}

// A record that one more packet would take past 32 bits of packets or
// bytes is handed to export as it stands and begun again, so the records of
// the flow add up to every packet and byte.
TEST_F(FlowTableTest, CountsNeverWrapTheRecordIsEndedAndBegunAgain) {
  const OwnerRef owner = makeOwner("proc", "alice", "HOST1");
  FlowRecord v4 = makeFlowRecord(0, 1, 6, 1, 2, 3, 4, 1000, 0x02, 0, 100, owner);
  v4.replydelay = 7;
  FlowEntry v6 = makeFlowEntry6(1, 0, 50, Ip6Address::fromBytes(reinterpret_cast<const uint8_t*>("0123456789abcdef")),
                                Ip6Address{}, 0, 0, 1000, 0, 10, 0x12345, 100, nullptr);
  const struct {
    const char* what;
    uint32_t pkts, bytes;    // the open record's counts before
    uint32_t length;         // of the next packet
    bool renews;
  } rows[] = {
      {"bytes reach 2^32 - 1 exactly", 10, UINT32_MAX - 1500, 1500, false},
      {"one byte more", 10, UINT32_MAX - 1499, 1500, true},
      {"a full record and any packet", 10, UINT32_MAX, 40, true},
      {"packets reach 2^32 - 1", UINT32_MAX - 1, 1000, 40, false},
      {"packets at 2^32 - 1", UINT32_MAX, 1000, 40, true},
  };
  for (const auto& row : rows) {
    for (bool ipv6 : {false, true}) {
      SCOPED_TRACE(std::string(row.what) + (ipv6 ? ", ipv6" : ", ipv4"));
      reset();
      {
        std::lock_guard<std::mutex> lock(flowTableMutex);
        FlowEntry e = ipv6 ? v6 : FlowEntry(v4);
        e.pkts = row.pkts;
        e.bytes = row.bytes;
        insertFlowEntry(std::move(e));
        if (ipv6) {
          countIntoFlow(*findFlow6(keyOf6(v6)), 500, row.length, 0x10);
        } else {
          countIntoFlow(*findFlow(keyOf(v4)), 500, row.length, 0x10);
        }
      }
      const std::vector<FlowEntry> open = copyFlows();
      ASSERT_EQ(open.size(), 1u);
      const FlowEntry& now = open[0];
      EXPECT_EQ(now.ipv6(), ipv6);
      EXPECT_EQ(now.srcip6, ipv6 ? v6.srcip6 : Ip6Address{});
      EXPECT_EQ(now.owner.get(), ipv6 ? nullptr : owner.get());
      EXPECT_EQ(now.outif, ipv6 ? 0 : 1);
      EXPECT_EQ(now.lastseen, 500u);
      EXPECT_EQ(now.flags, ipv6 ? 0 : row.renews ? 0x10 : 0x12);
      if (!row.renews) {
        EXPECT_EQ(toExportSize(), 0u);
        EXPECT_EQ(now.pkts, row.pkts + 1);
        EXPECT_EQ(now.bytes, row.bytes + row.length);
        continue;
      }
      ASSERT_EQ(toExportSize(), 1u);
      const FlowEntry& ended = toExport.front();
      EXPECT_EQ(ended.pkts, row.pkts);
      EXPECT_EQ(ended.bytes, row.bytes);
      EXPECT_EQ(ended.firstseen, 100u);
      EXPECT_EQ(ended.srcip6, now.srcip6);
      EXPECT_EQ(ended.flowlabel, ipv6 ? 0x12345u : 0u);
      EXPECT_EQ(now.pkts, 1u);
      EXPECT_EQ(now.bytes, row.length);
      EXPECT_EQ(now.firstseen, 500u);
      EXPECT_EQ(now.replydelay, 0);
    }
  }
}

TEST_F(FlowTableTest, InsertKeepsAPresentRecordUntouched) {
  FlowRecord first = record(1, 1000, 10, 10);
  add(first);
  FlowRecord second = record(1, 1000, 99, 99);
  second.pkts = 7;
  std::lock_guard<std::mutex> lock(flowTableMutex);
  EXPECT_FALSE(insertFlow(keyOf(second), std::move(second)));
  FlowRecord* found = findFlow(keyOf(first));
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->pkts, 1);
  EXPECT_EQ(found->firstseen, 10u);
  eraseFlow(keyOf(first));
  EXPECT_EQ(findFlow(keyOf(first)), nullptr);
}

TEST_F(FlowTableTest, SweepBoundaries) {
  const uint64_t now = 1'000'000;
  struct Case {
    uint16_t port;
    uint64_t first, last;
    bool moves;
  } cases[] = {
      {1, now - 1000, now - 15000, false},  // idle exactly 15 s: stays
      {2, now - 1000, now - 15001, true},   // idle one ms longer: moves
      {3, now - 60000, now, false},         // exactly 60 s old: stays
      {4, now - 60001, now, true},          // one ms older: moves
      {5, now, now, false},
  };
  for (const Case& c : cases) add(record(1, c.port, c.first, c.last));
  lastSweepTime = now - 1001;
  EXPECT_TRUE(sweepFlows(now));
  std::lock_guard<std::mutex> lock(flowTableMutex);
  for (const Case& c : cases) {
    EXPECT_EQ(findFlow(keyOf(record(1, c.port, 0, 0))) == nullptr, c.moves) << "port " << c.port;
  }
  ASSERT_EQ(toExport.size(), 2u);
  for (const FlowRecord& r : toExport) {
    EXPECT_EQ(r.processname(), "proc");
    EXPECT_EQ(r.user(), "alice");
    EXPECT_EQ(r.domain(), "HOST1");
    EXPECT_EQ(r.flags, 0x02);
    EXPECT_EQ(r.bytes, 60);
  }
}

TEST_F(FlowTableTest, SweepRunsOnlyAfterMoreThanASecondAndAppendsInOrder) {
  add(record(1, 1, 0, 0));
  EXPECT_TRUE(sweepFlows(100'000)) << "the first packet always sweeps";
  EXPECT_EQ(lastSweepTime, 100'000u);
  add(record(2, 2, 0, 0));
  EXPECT_FALSE(sweepFlows(101'000));
  EXPECT_EQ(toExportSize(), 1u);
  EXPECT_TRUE(sweepFlows(101'001));
  std::vector<FlowEntry> taken;
  EXPECT_EQ(takeExports(taken, 10), 2u);
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[0].srcip, 1u) << "earlier sweeps come first";
  EXPECT_EQ(taken[1].srcip, 2u);
  EXPECT_EQ(toExportSize(), 0u);
}

// IPv6 flows live in their own table under the same rules: swept into the
// same toExport, counted in every total, capped together with IPv4 flows.
TEST_F(FlowTableTest, BothFamiliesShareSweepTotalsOwnersAndOrder) {
  Ip6Address a6, b6;
  a6.bytes[0] = 0x20, a6.bytes[15] = 1;
  b6.bytes[0] = 0x20, b6.bytes[15] = 2;
  const OwnerRef owner = makeOwner("proc6", "bob", "HOST2");
  auto entry6 = [&](uint16_t port, uint64_t first, uint64_t last, OwnerRef o) {
    FlowEntry e = makeFlowEntry6(0, 1, 17, a6, b6, port, 53, 80, 0, 0, 0x12345, first, std::move(o));
    e.lastseen = last;
    return e;
  };
  const uint64_t now = 1'000'000;
  {
    std::lock_guard<std::mutex> lock(flowTableMutex);
    EXPECT_TRUE(insertFlowEntry(entry6(1, now - 1000, now - 20000, owner)));  // finished
    EXPECT_TRUE(insertFlowEntry(entry6(2, now - 1000, now, nullptr)));        // open
    EXPECT_FALSE(insertFlowEntry(entry6(2, now, now, owner))) << "present: left as it was";
    FlowEntry asIpv4 = entry6(3, now, now, nullptr);
    EXPECT_FALSE(insertFlow(keyOf(asIpv4), std::move(asIpv4))) << "an IPv6 entry is no IPv4 record";
  }
  add(record(1, 1, now - 1000, now - 20000));  // finished
  add(record(1, 2, now - 1000, now));          // open

  FlowTotals t = flowTotals();
  EXPECT_EQ(t.flows, 4u);
  EXPECT_EQ(t.bytes, 80u + 80 + 60 + 60);
  EXPECT_EQ(copyFlows().size(), 4u);
  uint64_t ownedBytes6 = 0, flows = 0;
  for (const OwnerTotal& o : flowTotalsByOwner()) {
    flows += o.flows;
    if (o.owner == owner) ownedBytes6 += o.bytes;
  }
  EXPECT_EQ(flows, 4u);
  EXPECT_EQ(ownedBytes6, 80u);

  const FlowKey6 open6{a6, b6, 2, 53, 0, 17};
  EXPECT_TRUE(setFlowOwner6(open6, owner));
  EXPECT_FALSE(setFlowOwner6(open6, makeOwner("other", "", ""))) << "an owner is never replaced";
  EXPECT_FALSE(setFlowOwner6(FlowKey6{a6, b6, 9, 53, 0, 17}, owner)) << "no such open flow";

  lastSweepTime = now - 1001;
  EXPECT_TRUE(sweepFlows(now));
  EXPECT_EQ(openFlowsAtLastSweep(), 2u);
  std::vector<FlowEntry> taken;
  ASSERT_EQ(takeExports(taken, 10), 2u);
  EXPECT_FALSE(taken[0].ipv6()) << "IPv4 first in a sweep's walk";
  EXPECT_TRUE(taken[1].ipv6());
  EXPECT_EQ(taken[1].flowlabel, 0x12345u);
  EXPECT_EQ(taken[1].srcip6, a6);
  EXPECT_EQ(taken[1].processname(), "proc6");

  EXPECT_EQ(moveAllFlows(), 2u);
  taken.clear();
  ASSERT_EQ(takeExports(taken, 10), 2u);
  EXPECT_EQ(taken[1].processname(), "proc6") << "the owner found later left with the flow";
  EXPECT_EQ(flowCacheSize(), 0u);
}

}  // namespace

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

long residentKiB() {
  FILE* f = fopen("/proc/self/statm", "r");
  long pages = 0, resident = 0;
  if (f) {
    if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    fclose(f);
  }
  return resident * 4;
}

TEST(FlowTableCap, AFullTableMovesTheOldestTenthAndMemoryStaysFlat) {
  resetFlowTables();
  // Flow i has lastseen i; every fourth is an IPv6 flow, and the cap counts
  // both families together.
  auto flood = [](uint32_t from, uint32_t count) {
    std::lock_guard<std::mutex> lock(flowTableMutex);
    for (uint32_t i = from; i < from + count; ++i) {
      if (i % 4 == 3) {
        Ip6Address src;
        for (int b = 0; b < 4; ++b) src.bytes[12 + b] = static_cast<uint8_t>(i >> (24 - 8 * b));
        insertFlow6(makeFlowEntry6(1, 0, 17, src, Ip6Address{}, 2, 3, 60, 0, 0, 0, i, nullptr));
      } else {
        insertFlow(FlowKey{i, 1, 2, 3, 0, 17}, makeFlowRecord(1, 0, 17, i, 1, 2, 3, 60, 0, 0, i, nullptr));
      }
    }
  };
  flood(0, static_cast<uint32_t>(kFlowCacheLimit));
  {
    std::lock_guard<std::mutex> lock(flowTableMutex);
    ASSERT_EQ(flowCache.size(), kFlowCacheLimit / 4 * 3);
    ASSERT_EQ(flowCache6.size(), kFlowCacheLimit / 4);
    ASSERT_TRUE(toExport.empty()) << "nothing moves below the cap";
  }
  flood(static_cast<uint32_t>(kFlowCacheLimit), 1);
  {
    std::lock_guard<std::mutex> lock(flowTableMutex);
    EXPECT_EQ(flowCache.size() + flowCache6.size(), kFlowCacheLimit - kFlowCacheLimit / 10 + 1);
    ASSERT_EQ(toExport.size(), kFlowCacheLimit / 10);
    for (size_t i = 0; i < toExport.size(); ++i) {
      ASSERT_EQ(toExport[i].lastseen, i) << "oldest first, and only the oldest tenth";
    }
    EXPECT_EQ(findFlow(FlowKey{static_cast<uint32_t>(kFlowCacheLimit / 10), 1, 2, 3, 0, 17}) != nullptr, true);
    toExport.clear();
  }
  testing::internal::CaptureStdout();
  sweepFlows(5'000'000'000ull);
  sweepFlows(5'000'000'500ull);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Flow table full: 100000 oldest flows moved to export early\n");
  {
    std::lock_guard<std::mutex> lock(flowTableMutex);
    toExport.clear();
    flowCache.clear();
    flowCache6.clear();
  }
  // Refill to the cap, then keep flooding: the resident size must not grow.
  flood(10'000'000, static_cast<uint32_t>(kFlowCacheLimit));
  const long atCap = residentKiB();
  for (uint32_t round = 0; round < 5; ++round) {
    flood(20'000'000 + round * 200'000, 200'000);
    std::lock_guard<std::mutex> lock(flowTableMutex);
    toExport.clear();
    EXPECT_LE(flowCache.size() + flowCache6.size(), kFlowCacheLimit);
  }
  // AddressSanitizer keeps freed memory in quarantine, so only an
  // uninstrumented build can judge the resident size.
  if (!kAddressSanitizer) EXPECT_LT(residentKiB(), atCap + atCap / 10) << "memory grew past the cap";
  resetFlowTables();
}

}  // namespace
