#include "runtime/traffic_history.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

constexpr uint64_t kT0 = 1700000000000;  // a whole second

struct Sample {
  uint64_t second;
  uint32_t pkts;
  uint64_t bytes, flows;
  bool operator==(const Sample&) const = default;
};

std::vector<Sample> plain(const std::vector<TrafficSample>& samples) {
  std::vector<Sample> out;
  for (const TrafficSample& s : samples) out.push_back({s.second - kT0 / 1000, s.pkts, s.bytes, s.flows});
  return out;
}

class TrafficHistoryTest : public testing::Test {
 protected:
  void SetUp() override { resetTrafficHistory(); }
  void TearDown() override { resetTrafficHistory(); }
};

TEST_F(TrafficHistoryTest, SecondsWithoutPacketsAreZeroSamples) {
  EXPECT_TRUE(trafficHistory(kT0, 0).empty()) << "nothing recorded, no start";
  startTrafficHistory(kT0 - 2000);
  recordTraffic(kT0 + 10, 100, 5);
  recordTraffic(kT0 + 999, 50, 6);
  recordTraffic(kT0 + 1000, 40, 6);
  recordTraffic(kT0 + 500, 1, 7);  // late: counts into the latest second
  recordTraffic(kT0 + 3999, 60, 9);
  const std::vector<Sample> want = {{-2ull, 0, 0, 6}, {-1ull, 0, 0, 6}, {0, 2, 150, 6}, {1, 2, 41, 7},
                                    {2, 0, 0, 7},     {3, 1, 60, 9}};
  EXPECT_EQ(plain(trafficHistory(kT0 + 4999, 0)), want) << "the current second is not reported";
  EXPECT_EQ(plain(trafficHistory(kT0 + 4000, kT0 + 1500)), std::vector<Sample>(want.begin() + 3, want.end()));
  EXPECT_TRUE(trafficHistory(kT0 + 4000, kT0 + 9000).empty());
  const TrafficTotals totals = trafficTotals();
  EXPECT_EQ(totals.pkts, 5u) << "the second being counted included";
  EXPECT_EQ(totals.bytes, 251u);
}

TEST_F(TrafficHistoryTest, KeepsTheLastFifteenMinutes) {
  for (uint64_t s = 0; s < 2000; s += 2) recordTraffic(kT0 + s * 1000, static_cast<uint32_t>(s), s);
  const uint64_t now = kT0 + 2000 * 1000;
  const std::vector<TrafficSample> h = trafficHistory(now, 0);
  ASSERT_EQ(h.size(), kHistorySeconds);
  for (size_t i = 0; i < h.size(); ++i) {
    const uint64_t s = 2000 - kHistorySeconds + i;
    EXPECT_EQ(h[i].second, kT0 / 1000 + s);
    EXPECT_EQ(h[i].bytes, s % 2 ? 0 : s) << "second " << s;
    EXPECT_EQ(h[i].flows, s % 2 ? s - 1 : s) << "second " << s;
  }
}

// A reader beside the writer, as web threads read while capture counts: the
// finished seconds read are whole (and in the sanitizer build, race-free).
TEST_F(TrafficHistoryTest, ReadWhileTheWriterCounts) {
  std::atomic<uint64_t> now{kT0};
  std::thread writer([&] {
    for (uint64_t t = 0; t < 400000; ++t) {
      recordTraffic(kT0 + t / 100, 10, 7);
      now.store(kT0 + t / 100, std::memory_order_release);
    }
    now.store(0);
  });
  bool whole = true, rising = true;
  TrafficTotals last;
  for (uint64_t at; whole && (at = now.load(std::memory_order_acquire)) != 0;) {
    for (const TrafficSample& s : trafficHistory(at, 0)) whole = whole && s.bytes == 10ull * s.pkts && s.flows == 7;
    const TrafficTotals t = trafficTotals();
    rising = rising && t.pkts >= last.pkts && t.bytes >= last.bytes;
    last = t;
  }
  writer.join();
  EXPECT_TRUE(whole);
  EXPECT_TRUE(rising) << "the totals never went down";
  EXPECT_EQ(trafficHistory(kT0 + 4000, 0).back().pkts, 100000u);
  EXPECT_EQ(trafficTotals().pkts, 400000u);
  EXPECT_EQ(trafficTotals().bytes, 4000000u);
}

}  // namespace
