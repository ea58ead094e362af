#include "capture/owner_lookups.h"

#include <gtest/gtest.h>

#include <memory>

#include "flow/flow_table.h"

namespace {

constexpr uint32_t kLocal = 0x0a000001, kRemote = 0x0a000002;

OwnerQuery queryAt(uint16_t localPort, uint16_t remotePort = 53, bool outbound = true) {
  return OwnerQuery{SocketEnds{kLocal, localPort, kRemote, remotePort}, 0, outbound};
}

TEST(OwnerLookups, OnePlacePerPortBoundedRingsAndWaiters) {
  auto q = std::make_unique<OwnerLookupQueue>();
  for (uint16_t port = 1; port <= kOwnerQueuePorts; ++port) {
    ASSERT_EQ(queueLookup(*q, 17, queryAt(port), 100), Queued::kQueued) << port;
  }
  EXPECT_EQ(queueLookup(*q, 17, queryAt(9998), 100), Queued::kRefused) << "the ring is full";
  EXPECT_EQ(queueLookup(*q, 17, queryAt(9999, 53, false), 100), Queued::kQueued)
      << "flows from outside have a ring of their own";
  // A queued port takes more flows (other peers, the reply direction) while
  // the waiters have places.
  size_t joined = 0;
  while (queueLookup(*q, 17, queryAt(7, static_cast<uint16_t>(1000 + joined), joined % 2 == 0), 100) ==
         Queued::kJoined) {
    ++joined;
  }
  EXPECT_EQ(joined, kOwnerWaiters - kOwnerQueuePorts - 1);
  EXPECT_EQ(q->refused, 2u);
  EXPECT_EQ(q->sent.size, kOwnerQueuePorts);

  // Taking the first port frees its places; the other protocol and family
  // have places of their own for the same number.
  TakenLookup got;
  uint64_t wait = 0;
  ASSERT_TRUE(takeLookup(*q, 0, got, wait));
  EXPECT_EQ(got.port.port, 1);
  EXPECT_EQ(got.queries.size(), 1u);
  EXPECT_EQ(queueLookup(*q, 6, queryAt(7), 100), Queued::kQueued);
  EXPECT_EQ(queueLookup(*q, 17, OwnerQuery6{SocketEnds6{{}, 7, {}, 53}, 0, true}, 100), Queued::kRefused)
      << "no place left for it";

  // Taken in order of queueing, with all their waiters.
  for (uint16_t port = 2; port <= 7; ++port) ASSERT_TRUE(takeLookup(*q, 1000 * port, got, wait));
  EXPECT_EQ(got.port.port, 7);
  EXPECT_EQ(got.port.proto, 17);
  ASSERT_EQ(got.queries.size(), joined + 1);
  EXPECT_EQ(got.queries[2].ends.remotePort, 1001);
  EXPECT_FALSE(got.queries[2].outbound);
  EXPECT_EQ(queueLookup(*q, 17, queryAt(7), 100), Queued::kQueued) << "taken, the port may be queued anew";
  // The local programs' ports go first, then those from outside.
  size_t before = 0;
  while (takeLookup(*q, 1000000 + before, got, wait) && got.port.port != 9999) ++before;
  EXPECT_EQ(got.port.port, 9999);
  EXPECT_EQ(before, kOwnerQueuePorts - 6 + 1);

  queueLookup(*q, 17, queryAt(8, 53, false), 100);
  clearLookups(*q);
  EXPECT_EQ(q->sent.size + q->received.size, 0u);
  EXPECT_FALSE(takeLookup(*q, 100000, got, wait));
  EXPECT_EQ(wait, 0u);
  EXPECT_EQ(queueLookup(*q, 17, queryAt(8), 100), Queued::kQueued);
}

TEST(OwnerLookups, PaceAllowsABurstThenTheRate) {
  auto q = std::make_unique<OwnerLookupQueue>();
  for (uint16_t port = 1; port <= kOwnerQueuePorts; ++port) queueLookup(*q, 6, queryAt(port), 0);
  TakenLookup got;
  uint64_t wait = 0;
  const uint64_t t0 = 50000;
  for (uint64_t i = 0; i < kOwnerLookupBurst; ++i) ASSERT_TRUE(takeLookup(*q, t0, got, wait)) << i;
  EXPECT_FALSE(takeLookup(*q, t0, got, wait));
  EXPECT_EQ(wait, 1u);
  // 10 ms later the rate has allowed 20 more, and no more.
  int taken = 0;
  while (takeLookup(*q, t0 + 10, got, wait)) ++taken;
  EXPECT_EQ(taken, static_cast<int>(kOwnerLookupsPerSecond / 100));
  EXPECT_GT(wait, 0u);
  // A long pause refills to the burst, not beyond.
  taken = 0;
  while (takeLookup(*q, t0 + 3600000, got, wait)) ++taken;
  EXPECT_EQ(taken, static_cast<int>(kOwnerLookupBurst));
}

TEST(OwnerLookups, APortFoundUnownedIsLeftAloneForAWhile) {
  auto q = std::make_unique<OwnerLookupQueue>();
  const uint64_t now = 1'700'000'000'000;
  ASSERT_EQ(queueLookup(*q, 17, queryAt(40000), now), Queued::kQueued);
  TakenLookup got;
  uint64_t wait = 0;
  ASSERT_TRUE(takeLookup(*q, 0, got, wait));
  noteUnowned(*q, got.port);
  EXPECT_EQ(queueLookup(*q, 17, queryAt(40000, 9), now + kUnownedPortMillis - 1), Queued::kUnowned);
  EXPECT_EQ(queueLookup(*q, 6, queryAt(40000), now + 1), Queued::kQueued) << "TCP's port is another";
  EXPECT_EQ(queueLookup(*q, 17, queryAt(40000), now + kUnownedPortMillis), Queued::kQueued);
}

// The owner reaches the open flows of the port's waiters, in both
// directions, and never a finished one or one that has an owner already.
OwnerRef foundOwner;
void findsOwner(uint64_t, const OwnerQuery&, OwnerRef& owner) { owner = foundOwner; }
void findsNobody(uint64_t, const OwnerQuery&, OwnerRef&) {}

TEST(OwnerLookups, TheOwnerFoundReachesOpenFlowsOnly) {
  resetFlowTables();
  foundOwner = makeOwner("client", "alice", "HOST1");
  const OwnerRef earlier = makeOwner("earlier", "", "");
  const uint64_t now = 1'700'000'000'000;
  const FlowKey out{kLocal, kRemote, 5000, 53, 0, 17}, back{kRemote, kLocal, 53, 5000, 0, 17};
  const FlowKey finished{kLocal, kRemote, 5000, 54, 0, 17}, named{kLocal, kRemote, 5000, 55, 0, 17};
  {
    std::lock_guard<std::mutex> lock(flowTableMutex);
    for (const FlowKey& k : {out, back, finished, named}) {
      insertFlow(k, makeFlowRecord(0, 1, 17, k.srcip, k.dstip, k.srcport, k.dstport, 60, 0, 0, now,
                                   k == named ? earlier : nullptr));
    }
  }
  {
    std::lock_guard<std::mutex> lock(flowTableMutex);
    toExport.push_back(*findFlow(finished));
    eraseFlow(finished);
  }
  auto q = std::make_unique<OwnerLookupQueue>();
  queueLookup(*q, 17, queryAt(5000, 53, true), now);
  queueLookup(*q, 17, queryAt(5000, 53, false), now);
  queueLookup(*q, 17, queryAt(5000, 54, true), now);
  queueLookup(*q, 17, queryAt(5000, 55, true), now);
  TakenLookup lookup;
  uint64_t wait = 0;
  ASSERT_TRUE(takeLookup(*q, 0, lookup, wait));

  SystemOwnerLookups nobody;
  nobody.udp = findsNobody;
  EXPECT_EQ(resolveLookup(lookup, nobody), 0u);
  SystemOwnerLookups system;
  system.udp = findsOwner;
  EXPECT_EQ(resolveLookup(lookup, system), 4u);

  {
    std::lock_guard<std::mutex> lock(flowTableMutex);
    EXPECT_EQ(findFlow(out)->owner, foundOwner);
    EXPECT_EQ(findFlow(back)->owner, foundOwner);
    EXPECT_EQ(findFlow(named)->owner, earlier) << "an owner is never replaced";
    ASSERT_EQ(toExport.size(), 1u);
    EXPECT_EQ(toExport.front().owner, nullptr) << "a finished flow is never changed";
  }
  resetFlowTables();
}

}  // namespace
