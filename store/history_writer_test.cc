#include "store/history_writer.h"

#include <cstdlib>

#include "flow/flow_table.h"
#include "platform/clock.h"
#include "runtime/history_usage.h"
#include "runtime/settings.h"
#include "store/history_file.h"

#include <gtest/gtest.h>

namespace {

TEST(HistoryWriter, ReadsItsTwoSettingsAndKeepsDefaultsForUnusableOnes) {
  struct Case {
    Json::Value days, maxMB;
    uint32_t wantDays;
    uint64_t wantMB;
  };
  const Case cases[] = {
      {Json::Value(), Json::Value(), 7, 200},
      {Json::Value(0), Json::Value(1), 0, 1},
      {Json::Value(30), Json::Value(5000), 30, 5000},
      {Json::Value("3"), Json::Value(-1), 7, 200},
      {Json::Value(2.5), Json::Value(true), 7, 200},
  };
  for (const Case& c : cases) {
    setSetting("historyDays", c.days);
    setSetting("historyMaxMB", c.maxMB);
    const HistorySettings s = readHistorySettings();
    EXPECT_EQ(s.days, c.wantDays) << c.days << " " << c.maxMB;
    EXPECT_EQ(s.maxBytes, c.wantMB << 20) << c.days << " " << c.maxMB;
  }
  std::lock_guard<std::mutex> lock(settingsMutex);
  settings.removeMember("historyDays");
  settings.removeMember("historyMaxMB");
}

// The worker end to end: flows taken from toExport reach the file through
// the tap, open ones are counted at the stop, and usage asks the file.
TEST(HistoryWriter, CountsFinishedAndOpenFlowsAndAnswersUsage) {
  char name[] = "/tmp/vantrel-history-writer-XXXXXX";
  const std::string dir = mkdtemp(name);
  resetFlowTables();
  HistorySettings s;
  s.path = dir + "/vantrelhistory.sqlite";
  s.askedPassGapMillis = 0;
  startHistory(s);
  const uint64_t now = currentTimeMillis();
  FlowRecord done = makeFlowRecord(0, 1, 17, 0x0A000001, 0xC0000201, 40000, 53, 0, 0, 0, now - 5000,
                                   makeOwner("/usr/bin/resolver", "alice", ""));
  done.bytes = 700;
  FlowRecord open = makeFlowRecord(0, 1, 6, 0x0A000001, 0xC0000202, 40001, 443, 0, 0, 0, now - 2000,
                                   makeOwner("/usr/bin/browser", "alice", ""));
  open.bytes = 9000;
  {
    std::lock_guard<std::mutex> lock(flowTableMutex);
    toExport.push_back(done);
    insertFlow(keyOf(open), FlowRecord(open));
  }
  std::vector<FlowEntry> taken;
  ASSERT_EQ(takeExports(taken, 10), 1u);

  UsageQuery q;
  q.until = now + 60000;
  q.since = now - 3600000;
  q.step = usageStep(q.since, q.until);
  q.since -= q.since % q.step;
  UsageAnswer a;
  std::string error;
  ASSERT_TRUE(askUsage(q, a, error)) << error;  // brings the file up to date first
  ASSERT_EQ(a.top.size(), 2u);
  EXPECT_EQ(a.top[0].key, "/usr/bin/browser");
  EXPECT_EQ(a.top[0].bytes, 9000u);
  EXPECT_EQ(a.top[1].key, "/usr/bin/resolver");
  EXPECT_EQ(a.top[1].bytes, 700u);

  // The open flow grows and is then stopped with the monitor: its rest counts.
  {
    std::lock_guard<std::mutex> lock(flowTableMutex);
    findFlow(keyOf(open))->bytes = 9500;
  }
  finishHistory();
  EXPECT_FALSE(askUsage(q, a, error));
  ASSERT_TRUE(queryHistoryUsage(s.path, q, a, error)) << error;
  EXPECT_EQ(a.top[0].bytes, 9500u);
  resetFlowTables();
  (void)system(("rm -rf '" + dir + "'").c_str());
}

}  // namespace
