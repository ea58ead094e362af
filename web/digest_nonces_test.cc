#include "web/digest_nonces.h"

#include <gtest/gtest.h>

#include <set>

namespace {

TEST(DigestNonces, EachNonceTakesEachCountOnceWithinItsLife) {
  NonceTable table;
  const std::string a = issueNonce(table, 1000);
  const std::string b = issueNonce(table, 1000);
  ASSERT_EQ(a.size(), 32u);
  EXPECT_NE(a, b) << "two challenges in the same millisecond";
  struct Step {
    const std::string* nonce;
    uint32_t count;
    uint64_t at;
    NonceUse want;
  };
  const std::string unknown = "0123456789abcdef0123456789abcdef";
  const Step steps[] = {
      {&a, 1, 1000, NonceUse::accepted},  {&b, 1, 1000, NonceUse::accepted},  // each its own sequence
      {&a, 1, 1001, NonceUse::countUsed}, {&a, 0, 1001, NonceUse::countUsed},
      {&a, 3, 1002, NonceUse::accepted},  {&a, 2, 1002, NonceUse::accepted},  // out of order, once
      {&a, 2, 1002, NonceUse::countUsed}, {&a, 3, 1002, NonceUse::countUsed},
      {&a, 70, 1003, NonceUse::accepted}, {&a, 6, 1003, NonceUse::accepted},  // 64 below the highest
      {&a, 5, 1003, NonceUse::countUsed},                                     // 65 below: out of the window
      {&a, 200, 1003, NonceUse::accepted}, {&a, 136, 1003, NonceUse::accepted},
      {&a, 70, 1003, NonceUse::countUsed}, {&a, 199, 1003, NonceUse::accepted},
      {&unknown, 1, 1003, NonceUse::stale},
      {&b, 2, 1000 + kNonceLifeMillis, NonceUse::accepted},
      {&b, 3, 1001 + kNonceLifeMillis, NonceUse::stale},
  };
  for (const Step& s : steps) {
    EXPECT_EQ(useNonce(table, *s.nonce, s.count, s.at), s.want)
        << (s.nonce == &a ? "a" : s.nonce == &b ? "b" : "unknown") << " count " << s.count << " at " << s.at;
  }
}

TEST(DigestNonces, TableKeepsTheNewestOnly) {
  NonceTable table;
  const std::string first = issueNonce(table, 0);
  const std::string second = issueNonce(table, 0);
  std::set<std::string> issued = {first, second};
  for (size_t i = 2; i < kNonceTableSize + 1; ++i) issued.insert(issueNonce(table, 0));
  EXPECT_EQ(issued.size(), kNonceTableSize + 1) << "no nonce issued twice";
  EXPECT_EQ(table.byNonce.size(), kNonceTableSize);
  EXPECT_EQ(useNonce(table, first, 1, 0), NonceUse::stale) << "pushed out";
  EXPECT_EQ(useNonce(table, second, 1, 0), NonceUse::accepted);
}

}  // namespace
