#include "store/history_minutes.h"

#include <gtest/gtest.h>

#include <map>

namespace {

constexpr uint64_t kT0 = 1'700'000'040'000;  // a minute's start

// An outbound TCP flow from local port 50000 to 192.0.2.9:443 of `process`.
FlowEntry flow(const char* process, uint64_t firstseen, uint64_t lastseen, uint32_t pkts, uint32_t bytes,
               uint16_t remotePort = 443) {
  FlowEntry f(makeFlowRecord(0, 1, 6, 0x0A000001, 0xC0000209, 50000, remotePort, 0, 0, 0, firstseen,
                             makeOwner(process, "alice", "host")));
  f.lastseen = lastseen;
  f.pkts = pkts;
  f.bytes = bytes;
  return f;
}

HistoryTotals at(const HistoryMinutes& m, uint64_t minuteStart, const FlowEntry& like) {
  auto it = m.find(HistoryMinuteKey{minuteStart / 60000, historyKeyOf(like)});
  return it == m.end() ? HistoryTotals{} : it->second;
}

TEST(HistoryMinutes, AnOpenFlowCountsInTheMinutesItRanAndItsRestWhenItFinishes) {
  FlowTracker tracker;
  HistoryMinutes m;
  // Seen open in three walks, then finished: each minute gets what it
  // gained there, the flow counts once, and nothing is counted twice.
  countOpenFlows(tracker, {flow("app", kT0, kT0 + 30000, 10, 1000)}, kT0 + 60200, m);
  countOpenFlows(tracker, {flow("app", kT0, kT0 + 90000, 25, 4000)}, kT0 + 120200, m);
  countOpenFlows(tracker, {flow("app", kT0, kT0 + 90000, 25, 4000)}, kT0 + 180200, m);
  countFinishedFlows(tracker, {flow("app", kT0, kT0 + 150000, 30, 4500)}, m);
  const FlowEntry like = flow("app", 0, 0, 0, 0);
  const HistoryTotals first = at(m, kT0, like), second = at(m, kT0 + 60000, like), third = at(m, kT0 + 120000, like);
  EXPECT_EQ(first.bytes, 1000u);
  EXPECT_EQ(first.pkts, 10u);
  EXPECT_EQ(first.flows, 1u);
  EXPECT_EQ(second.bytes, 3000u);
  EXPECT_EQ(second.flows, 0u);
  EXPECT_EQ(third.bytes, 500u);
  EXPECT_EQ(third.pkts, 5u);
  EXPECT_EQ(m.size(), 3u);
  EXPECT_TRUE(tracker.counted.empty());
}

TEST(HistoryMinutes, FinishedFlowsNeverSeenOpenCountWholeAndForgottenOnesLeaveTheTracker) {
  FlowTracker tracker;
  HistoryMinutes m;
  countFinishedFlows(tracker, {flow("a", kT0, kT0 + 5000, 3, 300), flow("a", kT0 + 1, kT0 + 6000, 2, 200)}, m);
  const HistoryTotals t = at(m, kT0, flow("a", 0, 0, 0, 0));
  EXPECT_EQ(t.bytes, 500u);
  EXPECT_EQ(t.flows, 2u);
  // A flow that vanished without being handed over is let go after a while.
  countOpenFlows(tracker, {flow("b", kT0, kT0 + 1000, 1, 10)}, kT0 + 1000, m);
  countOpenFlows(tracker, {}, kT0 + 1000 + 3 * 60000 + 1, m);
  EXPECT_TRUE(tracker.counted.empty());
}

TEST(HistoryMinutes, KeyKeepsTheServiceSideAndThePeer) {
  struct Case {
    uint16_t inif;
    uint16_t srcport, dstport;
    uint8_t proto;
    uint16_t localport, remoteport;
    const char* peer;
  };
  const Case cases[] = {
      {0, 50000, 443, 6, 0, 443, "192.0.2.9"},   // a client's connection out
      {1, 50000, 22, 6, 22, 0, "192.0.2.9"},     // into a local server (src is the remote)
      {1, 53, 40000, 17, 0, 53, "192.0.2.9"},    // a DNS answer coming in
      {0, 8, 0, 1, 0, 0, "192.0.2.9"},           // ICMP: no ports
  };
  for (const Case& c : cases) {
    FlowEntry f(makeFlowRecord(c.inif, !c.inif, c.proto, 0xC0000209, 0x0A000001, c.srcport, c.dstport, 0, 0, 0,
                               kT0, nullptr));
    if (c.inif == 0) std::swap(f.srcip, f.dstip);  // outbound: remote is dst
    const HistoryKey k = historyKeyOf(f);
    EXPECT_EQ(k.localport, c.localport) << c.srcport << "->" << c.dstport;
    EXPECT_EQ(k.remoteport, c.remoteport) << c.srcport << "->" << c.dstport;
    EXPECT_EQ(k.peer, c.peer) << c.srcport << "->" << c.dstport;
    EXPECT_EQ(k.direction, c.inif);
  }
}

}  // namespace

namespace {

TEST(HistoryMinutes, RarePeersOfABusyProgramAreSummedAsOneAndTotalsStay) {
  HistoryMinutes m;
  const auto add = [&m](uint64_t minute, const char* process, const char* peer, uint64_t bytes) {
    HistoryKey k;
    k.process = process;
    k.peer = peer;
    k.remoteport = 443;
    m[HistoryMinuteKey{minute, k}] = HistoryTotals{bytes, 1, 1};
  };
  add(1, "busy", "192.0.2.1", 300);
  add(1, "busy", "192.0.2.2", 200);
  add(1, "busy", "192.0.2.3", 100);
  add(1, "busy", "192.0.2.4", 100);
  add(1, "quiet", "192.0.2.9", 5);
  add(2, "busy", "192.0.2.4", 50);  // another minute ranks on its own
  foldRarePeers(m, 2);
  std::map<std::string, uint64_t> seen;  // "minute process peer" -> bytes
  uint64_t flows = 0;
  for (const auto& [mk, t] : m) {
    seen[std::to_string(mk.minute) + " " + mk.key.process + " " + mk.key.peer] = t.bytes;
    flows += t.flows;
  }
  const std::map<std::string, uint64_t> expected = {
      {"1 busy 192.0.2.1", 300}, {"1 busy 192.0.2.2", 200}, {"1 busy ", 200},
      {"1 quiet 192.0.2.9", 5},  {"2 busy 192.0.2.4", 50},
  };
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(flows, 6u);
}

}  // namespace
