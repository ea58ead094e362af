#include "flow/flow_map.h"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>
#include <vector>

namespace {

OwnerRef owner = makeOwner("proc", "user", "domain");

FlowRecord recordFor(const FlowKey& k, int32_t pkts) {
  FlowRecord r = makeFlowRecord(1, 0, k.proto, k.srcip, k.dstip, k.srcport, k.dstport, 100, 0, k.tos, 1, owner);
  r.pkts = pkts;
  return r;
}

using Reference = std::unordered_map<FlowKey, int32_t, FlowKeyHash>;

// The map holds exactly the reference's keys, each with its pkts, and its
// iteration visits each once.
void expectSame(const FlowMap& map, const Reference& ref, const std::string& when) {
  SCOPED_TRACE(when);
  ASSERT_EQ(map.size(), ref.size());
  size_t visited = 0;
  for (const auto& [key, record] : map) {
    ++visited;
    auto it = ref.find(key);
    ASSERT_TRUE(it != ref.end()) << "unexpected key port " << key.srcport << "/" << key.dstport;
    EXPECT_EQ(record.pkts, it->second);
    EXPECT_EQ(keyOf(record), key);
  }
  EXPECT_EQ(visited, ref.size());
  for (const auto& [key, pkts] : ref) {
    auto it = map.find(key);
    ASSERT_TRUE(it != map.end()) << "missing key port " << key.srcport << "/" << key.dstport;
    EXPECT_EQ(it->second.pkts, pkts);
  }
}

// Keys from a small space, so inserts, hits and erases all happen often;
// every fourth key shares its hash value with others (only the destination
// port differs, which the hash leaves out).
FlowKey randomKey(std::mt19937& rng, uint32_t space) {
  const uint32_t n = rng() % space;
  if (n % 4 == 0) return FlowKey{0x0a000002, 0x0a000001, 443, static_cast<uint16_t>(n), 0, 6};
  return FlowKey{0x0a000001, 0x0a400000 + n / 7, static_cast<uint16_t>(n % 7), 53, static_cast<uint8_t>(n % 3), 17};
}

TEST(FlowMapTest, RandomOperationsMatchAStandardMap) {
  for (uint32_t space : {8u, 100u, 5000u}) {
    std::mt19937 rng(space);
    FlowMap map;
    Reference ref;
    for (int step = 0; step < 60000; ++step) {
      const FlowKey k = randomKey(rng, space);
      const int32_t pkts = step + 1;
      switch (rng() % 4) {
        case 0:
        case 1: {
          FlowRecord r = recordFor(k, pkts);
          const bool inserted = map.try_emplace(k, std::move(r)).second;
          const bool expected = ref.try_emplace(k, pkts).second;
          ASSERT_EQ(inserted, expected) << "space " << space << " step " << step;
          if (!inserted) EXPECT_NE(r.owner, nullptr) << "a refused record must not be moved from";
          break;
        }
        case 2:
          ASSERT_EQ(map.erase(k), ref.erase(k)) << "space " << space << " step " << step;
          break;
        case 3:
          ASSERT_EQ(map.contains(k), ref.count(k) == 1) << "space " << space << " step " << step;
          break;
      }
      if (step % 10000 == 0) expectSame(map, ref, "space " + std::to_string(space) + " step " + std::to_string(step));
    }
    expectSame(map, ref, "space " + std::to_string(space) + " at the end");
    // Churn alone never grows the index.
    EXPECT_LE(map.capacity(), std::max<size_t>(64, space * 4)) << "space " << space;
  }
}

TEST(FlowMapTest, EraseKeepsOtherIteratorsAndRecordsInPlace) {
  FlowMap map;
  Reference ref;
  for (uint16_t i = 0; i < 3000; ++i) {
    FlowKey k{0x0a000001, 0x0a000002 + i % 50u, i, static_cast<uint16_t>(i % 3), 0, 6};
    map.try_emplace(k, recordFor(k, i));
    ref.emplace(k, i);
  }
  // Note every entry, erase every other one through its saved iterator, and
  // check the rest through theirs.
  std::vector<FlowMap::iterator> saved;
  for (auto it = map.begin(); it != map.end(); ++it) saved.push_back(it);
  ASSERT_EQ(saved.size(), 3000u);
  for (size_t i = 0; i < saved.size(); i += 2) {
    ref.erase(saved[i]->first);
    map.erase(saved[i]);
  }
  for (size_t i = 1; i < saved.size(); i += 2) {
    ASSERT_EQ(saved[i]->second.pkts, ref.at(saved[i]->first));
  }
  expectSame(map, ref, "after erasing through saved iterators");
}

TEST(FlowMapTest, OwnersAreReleasedExactlyOnce) {
  const long base = owner.use_count();
  {
    FlowMap map;
    for (uint16_t i = 0; i < 1000; ++i) map.try_emplace(FlowKey{1, 2, i, 0, 0, 6}, recordFor(FlowKey{1, 2, i, 0, 0, 6}, 1));
    EXPECT_EQ(owner.use_count(), base + 1000);
    for (uint16_t i = 0; i < 1000; i += 2) map.erase(FlowKey{1, 2, i, 0, 0, 6});
    EXPECT_EQ(owner.use_count(), base + 500);
    map.clear();
    EXPECT_EQ(owner.use_count(), base);
    EXPECT_TRUE(map.empty() && map.begin() == map.end());
    map.try_emplace(FlowKey{1, 2, 3, 0, 0, 6}, recordFor(FlowKey{1, 2, 3, 0, 0, 6}, 1));
  }
  EXPECT_EQ(owner.use_count(), base) << "the destructor releases the rest";
}

}  // namespace
