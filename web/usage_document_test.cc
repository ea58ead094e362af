#include "web/usage_document.h"

#include <map>

#include <gtest/gtest.h>

namespace {

constexpr uint64_t kNow = 1'700'000'000'000;

TEST(UsageDocument, ReadsItsArgumentsAndIgnoresUnusableOnes) {
  struct Case {
    std::map<std::string, std::string> args;
    uint64_t since, until, step;
    UsageBy by;
    size_t limit;
    int port;
  };
  const uint64_t hourAgo = kNow - 3600000;
  const Case cases[] = {
      {{}, hourAgo, kNow, 60000, UsageBy::process, 10, -1},
      {{{"by", "peer"}, {"limit", "3"}, {"port", "443"}}, hourAgo, kNow, 60000, UsageBy::peer, 3, 443},
      {{{"by", "host"}, {"limit", "0"}, {"port", "65536"}}, hourAgo, kNow, 60000, UsageBy::process, 10, -1},
      // Seven days: 30-minute steps keep it within 400 points.
      {{{"since", std::to_string(kNow - 7 * 86400000ull)}}, kNow - 7 * 86400000ull, kNow, 1800000,
       UsageBy::process, 10, -1},
      {{{"since", "1700000000000"}, {"until", "1699999000000"}}, 1699999000000 - 3600000, 1699999000000, 60000,
       UsageBy::process, 10, -1},
      {{{"since", "yesterday"}, {"until", "-5"}}, hourAgo, kNow, 60000, UsageBy::process, 10, -1},
  };
  for (const Case& c : cases) {
    const UsageRequest r = readUsageRequest([&c](const char* name) -> const char* {
      auto it = c.args.find(name);
      return it == c.args.end() ? nullptr : it->second.c_str();
    });
    const UsageQuery q = usageQueryOf(r, kNow);
    std::string shown;
    for (const auto& [k, v] : c.args) shown += k + "=" + v + " ";
    EXPECT_EQ(q.since, c.since - c.since % c.step) << shown;
    EXPECT_EQ(q.until, c.until) << shown;
    EXPECT_EQ(q.step, c.step) << shown;
    EXPECT_LE((q.until - q.since) / q.step, 401u) << shown;
    EXPECT_EQ(q.by, c.by) << shown;
    EXPECT_EQ(q.limit, c.limit) << shown;
    EXPECT_EQ(q.port, c.port) << shown;
  }
}

TEST(UsageDocument, RanksKeysSumsTheRestAsOtherAndFillsEveryStep) {
  const std::vector<UsageCell> cells = {
      {"b", 0, 500, 5, 1}, {"a", 2, 900, 9, 1}, {"c", 1, 100, 1, 1}, {"d", 1, 50, 1, 2}, {"b", 2, 400, 4, 1},
  };
  const UsageAnswer a = rankUsage(cells, 3, 2);
  UsageQuery q;
  q.since = 0;
  q.until = 180000;
  const Json::Value doc = usageToJson(q, a, "");
  ASSERT_EQ(doc["top"].size(), 3u);
  EXPECT_EQ(doc["top"][0]["key"], "a");
  EXPECT_EQ(doc["top"][1]["key"], "b");
  EXPECT_EQ(doc["top"][1]["bytes"].asUInt64(), 900u);  // equal bytes: in key order
  EXPECT_EQ(doc["top"][2]["key"], kUsageOther);
  EXPECT_EQ(doc["top"][2]["bytes"].asUInt64(), 150u);
  EXPECT_EQ(doc["top"][2]["flows"].asUInt64(), 3u);
  const Json::Value& other = doc["series"][2]["bytes"];
  ASSERT_EQ(other.size(), 3u);
  EXPECT_EQ(other[0].asUInt64(), 0u);
  EXPECT_EQ(other[1].asUInt64(), 150u);
  EXPECT_EQ(doc["series"][1]["bytes"][2].asUInt64(), 400u);
  EXPECT_FALSE(doc.isMember("error"));
  // No more keys than the limit: no "(other)".
  EXPECT_EQ(rankUsage(cells, 3, 4).top.size(), 4u);
}

}  // namespace
