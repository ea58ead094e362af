#include "flow/flow_census.h"

#include <gtest/gtest.h>

#include <map>

namespace {

constexpr uint64_t kNow = 1700000100000;

class FlowCensusTest : public testing::Test {
 protected:
  void SetUp() override {
    resetFlowTables();
    resetFinishedFlowNotes();
  }
  void TearDown() override { SetUp(); }

  // An open flow of `owner` with `bytes`, its last packet `ago` ms before kNow.
  static void open(uint8_t proto, uint16_t port, const OwnerRef& owner, int32_t bytes, uint64_t ago) {
    FlowRecord r = makeFlowRecord(0, 1, proto, 0x0a000001u, 0x0a000002u, port, 53, 60, 0, 0, kNow - ago - 1000, owner);
    r.lastseen = kNow - ago;
    r.bytes = bytes;
    std::lock_guard<std::mutex> lock(flowTableMutex);
    insertFlow(keyOf(r), std::move(r));
  }

  // Process name -> "flows/bytes" of the census's last minute.
  static std::map<std::string, std::string> lastMinute(const FlowCensus& c) {
    std::map<std::string, std::string> out;
    for (const OwnerTotal& t : c.lastMinute) {
      std::string& s = out[t.owner ? t.owner->processname : "(none)"];
      s += (s.empty() ? "" : " ") + std::to_string(t.flows) + "/" + std::to_string(t.bytes);
    }
    return out;
  }
};

TEST_F(FlowCensusTest, OpenAndFinishedFlowsOfTheLastMinute) {
  const OwnerRef curl = makeOwner("curl", "alice", "host");
  const OwnerRef dns = makeOwner("named", "bind", "host");
  open(6, 1000, curl, 100, 0);
  open(6, 1001, curl, -1, 59000);  // wrapped: 4294967295 bytes
  open(17, 1002, dns, 7, 30000);
  open(1, 8, nullptr, 60, 61000);  // open, but silent for more than the window
  FlowCensus c = flowCensus(kNow);
  EXPECT_EQ(lastMinute(c), (std::map<std::string, std::string>{{"curl", "2/4294967395"}, {"named", "1/7"}}));
  std::map<int, uint64_t> protos;
  for (const ProtocolCount& p : c.open) protos[p.proto] = p.flows;
  EXPECT_EQ(protos, (std::map<int, uint64_t>{{1, 1}, {6, 2}, {17, 1}}));
  EXPECT_EQ(c.waiting, 0u);

  // The sweep at kNow + 16 s finishes the flows silent for 15 s: they stay
  // in the last minute by their last packet, beside what is open then.
  {
    std::lock_guard<std::mutex> lock(flowTableMutex);
    EXPECT_EQ(moveFinishedFlows(kNow + 16000), 4u);
  }
  open(6, 1003, curl, 5, 0);
  c = flowCensus(kNow + 16000);
  EXPECT_EQ(lastMinute(c), (std::map<std::string, std::string>{{"curl", "2/105"}, {"named", "1/7"}}))
      << "the flow 59 s old at the sweep left the window, the new one came in";
  EXPECT_EQ(c.waiting, 4u);
  EXPECT_EQ(lastMinute(flowCensus(kNow + 31000)), (std::map<std::string, std::string>{{"curl", "2/105"}}))
      << "named's last packet was 60 s before";
  EXPECT_EQ(lastMinute(flowCensus(kNow + 61000)), (std::map<std::string, std::string>{}));

  // A flow that finishes long after its last packet (a stop, a full table)
  // is past the window and does not displace the second now in its place.
  SetUp();
  open(17, 2000, dns, 9, 0);
  open(17, 2001, dns, 11, 62000);
  {
    std::lock_guard<std::mutex> lock(flowTableMutex);
    EXPECT_EQ(moveAllFlows(), 2u);
  }
  EXPECT_EQ(lastMinute(flowCensus(kNow)), (std::map<std::string, std::string>{{"named", "1/9"}}));
}

}  // namespace
