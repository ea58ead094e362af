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

// The same keys for each family's map, with a standard map as reference.
struct V4 {
  using Map = FlowMap;
  using Key = FlowKey;
  using Hash = FlowKeyHash;
  static Key keyOf(const FlowRecord& r) { return ::keyOf(r); }
  static FlowRecord make(const FlowKey& k, int32_t pkts) { return recordFor(k, pkts); }
  static Key key(const FlowKey& k) { return k; }
};

// IPv6 keys from the IPv4 ones: the address in the last four bytes, and
// keys whose addresses differ only in their first half too.
struct V6 {
  using Map = FlowMap6;
  using Key = FlowKey6;
  struct Hash {
    size_t operator()(const FlowKey6& k) const noexcept {
      return std::hash<uint64_t>()(k.srcip.low() ^ k.dstip.low() * 31 ^ k.srcip.high() * 7) + k.srcport + k.dstport;
    }
  };
  static Key keyOf(const FlowEntry& e) { return keyOf6(e); }
  static Ip6Address address(uint32_t v4, uint8_t high) {
    Ip6Address a;
    a.bytes[0] = 0x20, a.bytes[1] = 0x01, a.bytes[2] = 0x0d, a.bytes[3] = 0xb8, a.bytes[4] = high;
    for (int i = 0; i < 4; ++i) a.bytes[12 + i] = static_cast<uint8_t>(v4 >> (24 - 8 * i));
    return a;
  }
  static Key key(const FlowKey& k) {
    const uint8_t high = static_cast<uint8_t>(k.dstport % 3);
    return FlowKey6{address(k.srcip, high), address(k.dstip, 0), k.srcport, k.dstport, k.tos, k.proto};
  }
  static FlowEntry make(const FlowKey6& k, int32_t pkts) {
    FlowEntry e = makeFlowEntry6(1, 0, k.proto, k.srcip, k.dstip, k.srcport, k.dstport, 100, 0, k.tos, 7, 1, owner);
    e.pkts = pkts;
    return e;
  }
};

template <typename F>
using Reference = std::unordered_map<typename F::Key, int32_t, typename F::Hash>;

// The map holds exactly the reference's keys, each with its pkts, and its
// iteration visits each once.
template <typename F>
void expectSame(const typename F::Map& map, const Reference<F>& ref, const std::string& when) {
  SCOPED_TRACE(when);
  ASSERT_EQ(map.size(), ref.size());
  size_t visited = 0;
  for (const auto& record : map) {
    ++visited;
    const auto key = F::keyOf(record);
    auto it = ref.find(key);
    ASSERT_TRUE(it != ref.end()) << "unexpected key port " << key.srcport << "/" << key.dstport;
    EXPECT_EQ(record.pkts, it->second);
  }
  EXPECT_EQ(visited, ref.size());
  for (const auto& [key, pkts] : ref) {
    auto it = map.find(key);
    ASSERT_TRUE(it != map.end()) << "missing key port " << key.srcport << "/" << key.dstport;
    EXPECT_EQ(it->pkts, pkts);
  }
}

// Keys from a small space, so inserts, hits and erases all happen often;
// every fourth key differs from others only in its destination port.
FlowKey randomKey(std::mt19937& rng, uint32_t space) {
  const uint32_t n = rng() % space;
  if (n % 4 == 0) return FlowKey{0x0a000002, 0x0a000001, 443, static_cast<uint16_t>(n), 0, 6};
  return FlowKey{0x0a000001, 0x0a400000 + n / 7, static_cast<uint16_t>(n % 7), 53, static_cast<uint8_t>(n % 3), 17};
}

template <typename F>
void randomOperations(const char* family) {
  for (uint32_t space : {8u, 100u, 5000u}) {
    const std::string where = std::string(family) + " space " + std::to_string(space);
    std::mt19937 rng(space);
    typename F::Map map;
    Reference<F> ref;
    for (int step = 0; step < 60000; ++step) {
      const auto k = F::key(randomKey(rng, space));
      const int32_t pkts = step + 1;
      switch (rng() % 4) {
        case 0:
        case 1: {
          auto r = F::make(k, pkts);
          const bool inserted = map.insert(std::move(r)).second;
          const bool expected = ref.try_emplace(k, pkts).second;
          ASSERT_EQ(inserted, expected) << where << " step " << step;
          if (!inserted) EXPECT_NE(r.owner, nullptr) << "a refused record must not be moved from";
          break;
        }
        case 2:
          ASSERT_EQ(map.erase(k), ref.erase(k)) << where << " step " << step;
          break;
        case 3:
          ASSERT_EQ(map.contains(k), ref.count(k) == 1) << where << " step " << step;
          break;
      }
      if (step % 10000 == 0) expectSame<F>(map, ref, where + " step " + std::to_string(step));
    }
    expectSame<F>(map, ref, where + " at the end");
    // Churn alone never grows the index.
    EXPECT_LE(map.capacity(), std::max<size_t>(64, space * 4)) << where;
  }
}

TEST(FlowMapTest, RandomOperationsMatchAStandardMap) {
  randomOperations<V4>("IPv4");
  randomOperations<V6>("IPv6");
}

TEST(FlowMapTest, EraseKeepsOtherIteratorsAndRecordsInPlace) {
  FlowMap map;
  Reference<V4> ref;
  for (uint16_t i = 0; i < 3000; ++i) {
    FlowKey k{0x0a000001, 0x0a000002 + i % 50u, i, static_cast<uint16_t>(i % 3), 0, 6};
    map.insert(recordFor(k, i));
    ref.emplace(k, i);
  }
  // Note every entry, erase every other one through its saved iterator, and
  // check the rest through theirs.
  std::vector<FlowMap::iterator> saved;
  for (auto it = map.begin(); it != map.end(); ++it) saved.push_back(it);
  ASSERT_EQ(saved.size(), 3000u);
  for (size_t i = 0; i < saved.size(); i += 2) {
    ref.erase(keyOf(*saved[i]));
    map.erase(saved[i]);
  }
  for (size_t i = 1; i < saved.size(); i += 2) {
    ASSERT_EQ(saved[i]->pkts, ref.at(keyOf(*saved[i])));
  }
  expectSame<V4>(map, ref, "after erasing through saved iterators");
}

TEST(FlowMapTest, OwnersAreReleasedExactlyOnce) {
  const long base = owner.use_count();
  {
    FlowMap map;
    for (uint16_t i = 0; i < 1000; ++i) map.insert(recordFor(FlowKey{1, 2, i, 0, 0, 6}, 1));
    EXPECT_EQ(owner.use_count(), base + 1000);
    for (uint16_t i = 0; i < 1000; i += 2) map.erase(FlowKey{1, 2, i, 0, 0, 6});
    EXPECT_EQ(owner.use_count(), base + 500);
    map.clear();
    EXPECT_EQ(owner.use_count(), base);
    EXPECT_TRUE(map.empty() && map.begin() == map.end());
    map.insert(recordFor(FlowKey{1, 2, 3, 0, 0, 6}, 1));
  }
  EXPECT_EQ(owner.use_count(), base) << "the destructor releases the rest";
}

}  // namespace
