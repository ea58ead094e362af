#include "capture/names/name_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/names/dns_test_messages.h"
#include "runtime/state.h"

namespace {

constexpr uint8_t kUdp = 17, kTcp = 6;
constexpr uint64_t kT0 = 1'700'000'000'000;
const uint8_t kHost4[4] = {10, 0, 0, 1}, kServer4[4] = {10, 0, 0, 53}, kOther4[4] = {10, 0, 0, 54};
const uint8_t kHost6[16] = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const uint8_t kServer6[16] = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x53};

using Answer = DnsTestAnswer;

std::vector<uint8_t> dnsMessage(uint16_t id, const std::string& name, const std::vector<Answer>& answers, bool response) {
  return dnsTestMessage(id, name, 1, answers, response);
}

void query4(uint16_t id, const std::string& name, uint64_t now, uint16_t port = 40000) {
  const std::vector<uint8_t> m = dnsMessage(id, name, {}, false);
  nameTableDnsPacket(true, 4, kHost4, kServer4, port, 53, kUdp, m.data(), m.size(), now);
}

void answer4(uint16_t id, const std::string& name, const std::vector<Answer>& answers, uint64_t now,
             const uint8_t* server = kServer4, uint16_t port = 40000) {
  const std::vector<uint8_t> m = dnsMessage(id, name, answers, true);
  nameTableDnsPacket(false, 4, server, kHost4, 53, port, kUdp, m.data(), m.size(), now);
}

std::string lookup(const std::vector<uint8_t>& address, uint64_t now) {
  const char* name = nameTableLookup(address.size() == 4 ? 4 : 6, address.data(), now);
  return name ? name : "";
}

const std::vector<uint8_t> kWeb4 = {192, 0, 2, 1};
const std::vector<uint8_t> kWeb6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

class NameTable : public ::testing::Test {
 protected:
  void SetUp() override { nameTableClear(); }
  void TearDown() override { nameTableClear(); }
};

TEST_F(NameTable, AnswerCountsOnlyWhenItMatchesAQuery) {
  struct Case {
    const char* what;
    uint16_t id;
    const char* name;
    const uint8_t* server;
    uint16_t port;
    const char* expect;
  };
  const Case cases[] = {
      {"matching answer", 7, "www.example.com", kServer4, 40000, "www.example.com"},
      {"other id", 8, "www.example.com", kServer4, 40000, ""},
      {"other question", 7, "evil.example.com", kServer4, 40000, ""},
      {"other server", 7, "www.example.com", kOther4, 40000, ""},
      {"other port", 7, "www.example.com", kServer4, 40001, ""},
      {"question in other case", 7, "WWW.Example.com", kServer4, 40000, "www.example.com"},
  };
  for (const Case& c : cases) {
    nameTableClear();
    query4(7, "www.example.com", kT0);
    answer4(c.id, c.name, {{4, kWeb4, 600}, {6, kWeb6, 600}}, kT0 + 20, c.server, c.port);
    EXPECT_EQ(lookup(kWeb4, kT0 + 30), c.expect) << c.what;
    EXPECT_EQ(lookup(kWeb6, kT0 + 30), c.expect) << c.what;
    const NameTableCounts counts = nameTableCounts();
    EXPECT_EQ(counts.names, *c.expect ? 2u : 0u) << c.what;
    EXPECT_EQ(counts.unsolicited, *c.expect ? 0u : 1u) << c.what;
    EXPECT_EQ(counts.answers, *c.expect ? 1u : 0u) << c.what;
    EXPECT_EQ(nameTableNames.load(), counts.names) << "the status document's copy: " << c.what;
  }
  // A query answered once: the same answer again names nothing more.
  nameTableClear();
  query4(9, "a.example.com", kT0);
  answer4(9, "a.example.com", {{4, kWeb4, 600}}, kT0 + 1);
  answer4(9, "a.example.com", {{4, {192, 0, 2, 2}, 600}}, kT0 + 2);
  EXPECT_EQ(lookup({192, 0, 2, 2}, kT0 + 3), "");
  // A query waits 10 s for its answer.
  query4(10, "late.example.com", kT0);
  answer4(10, "late.example.com", {{4, kWeb4, 600}}, kT0 + kPendingQueryMs + 1);
  EXPECT_EQ(lookup(kWeb4, kT0 + kPendingQueryMs + 2), "a.example.com");
}

TEST_F(NameTable, KeepsNamesForTheirClampedTtlAndWhileLookedUp) {
  struct Case {
    uint32_t ttl;
    uint64_t keptMs;  // named until just before this
  };
  const Case cases[] = {{0, kNameMinTtlMs}, {60, kNameMinTtlMs}, {1000, 1'000'000}, {4'000'000'000u, kNameMaxTtlMs}};
  for (const Case& c : cases) {
    nameTableClear();
    query4(1, "ttl.example", kT0);
    answer4(1, "ttl.example", {{4, kWeb4, c.ttl}}, kT0);
    EXPECT_EQ(lookup(kWeb4, kT0 + c.keptMs - 1), "ttl.example") << c.ttl;
    EXPECT_EQ(lookup(kWeb4, kT0 + c.keptMs + kNameLookupKeepMs - 2), "ttl.example") << "look-up keeps it " << c.ttl;
    EXPECT_EQ(lookup(kWeb4, kT0 + c.keptMs + kNameLookupKeepMs + kNameLookupKeepMs), "") << c.ttl;
    EXPECT_EQ(nameTableCounts().names, 0u) << c.ttl;
  }
  // A later answer gives the address its latest name.
  query4(2, "first.example", kT0);
  answer4(2, "first.example", {{4, kWeb4, 600}}, kT0);
  query4(3, "second.example", kT0 + 5);
  answer4(3, "second.example", {{4, kWeb4, 600}}, kT0 + 6);
  EXPECT_EQ(lookup(kWeb4, kT0 + 7), "second.example");
}

TEST_F(NameTable, HoldsAtMostItsBoundLeastRecentlyUsedOut) {
  // 32 addresses an answer, 2049 answers: 65,568 addresses, 32 over the bound.
  uint64_t now = kT0;
  for (uint32_t q = 0; q < 2049; ++q) {
    std::vector<Answer> answers;
    for (uint32_t i = 0; i < 32; ++i) {
      const uint32_t n = q * 32 + i;
      answers.push_back({4, {100, static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)}, 3600});
    }
    const std::string name = "n" + std::to_string(q) + ".example";
    query4(static_cast<uint16_t>(q), name, now);
    answer4(static_cast<uint16_t>(q), name, answers, now);
    if (q == 1000) EXPECT_EQ(lookup({100, 0, 0, 0}, now), "n0.example");  // used again: stays
    ++now;
  }
  EXPECT_EQ(nameTableCounts().names, kNameTableMaxNames);
  EXPECT_EQ(nameTableCounts().evicted, 32u);
  EXPECT_EQ(lookup({100, 0, 0, 0}, now), "n0.example");
  EXPECT_EQ(lookup({100, 0, 0, 1}, now), "");
  EXPECT_EQ(lookup({100, 0, 0, 32}, now), "");
  EXPECT_EQ(lookup({100, 0, 0, 33}, now), "n1.example");
  EXPECT_EQ(lookup({100, 1, 0, 31}, now), "n2048.example");
}

TEST_F(NameTable, ReadsTcpMessagesAcrossSegmentsAndIpv6) {
  std::vector<uint8_t> q = dnsMessage(21, "tcp.example", {}, false);
  std::vector<uint8_t> a = dnsMessage(21, "tcp.example", {{6, kWeb6, 600}, {4, kWeb4, 600}}, true);
  q.insert(q.begin(), {0, static_cast<uint8_t>(q.size())});
  a.insert(a.begin(), {0, static_cast<uint8_t>(a.size())});
  // The query in one segment, the answer in three, the first holding half the length.
  nameTableDnsPacket(true, 6, kHost6, kServer6, 50000, 53, kTcp, q.data(), q.size(), kT0);
  const size_t cuts[] = {0, 1, 9, a.size()};
  const std::vector<uint8_t> zeros(600, 0);
  for (int i = 0; i < 3; ++i) {
    nameTableDnsPacket(false, 6, kServer6, kHost6, 53, 50000, kTcp, a.data() + cuts[i], cuts[i + 1] - cuts[i], kT0 + 1);
    EXPECT_EQ(lookup(kWeb6, kT0 + 2), i == 2 ? "tcp.example" : "") << "after segment " << i;
    // Another connection's bytes that are not DNS, while this answer waits for its rest.
    nameTableDnsPacket(false, 6, kServer6, kHost6, 53, 50009, kTcp, zeros.data(), zeros.size(), kT0 + 1);
  }
  EXPECT_EQ(lookup(kWeb4, kT0 + 2), "tcp.example");
  // Two queries and then both answers in one segment each.
  std::vector<uint8_t> queries, answers;
  for (uint16_t id : {31, 32}) {
    const std::string name = "q" + std::to_string(id) + ".example";
    std::vector<uint8_t> qm = dnsMessage(id, name, {}, false);
    std::vector<uint8_t> am = dnsMessage(id, name, {{4, {198, 51, 100, static_cast<uint8_t>(id)}, 600}}, true);
    queries.insert(queries.end(), {0, static_cast<uint8_t>(qm.size())});
    queries.insert(queries.end(), qm.begin(), qm.end());
    answers.insert(answers.end(), {0, static_cast<uint8_t>(am.size())});
    answers.insert(answers.end(), am.begin(), am.end());
  }
  nameTableDnsPacket(true, 4, kHost4, kServer4, 50001, 53, kTcp, queries.data(), queries.size(), kT0);
  nameTableDnsPacket(false, 4, kServer4, kHost4, 53, 50001, kTcp, answers.data(), answers.size(), kT0 + 1);
  EXPECT_EQ(lookup({198, 51, 100, 31}, kT0 + 2), "q31.example");
  EXPECT_EQ(lookup({198, 51, 100, 32}, kT0 + 2), "q32.example");
}

TEST_F(NameTable, CountsMalformedMessages) {
  const uint8_t garbage[] = {0x12, 0x34, 0x81, 0x80, 0, 1, 0, 1, 0, 0, 0, 0, 0xc0, 0x0c};
  nameTableDnsPacket(false, 4, kServer4, kHost4, 53, 40000, kUdp, garbage, sizeof garbage, kT0);
  nameTableDnsPacket(true, 4, kHost4, kServer4, 40000, 53, kUdp, garbage, 5, kT0);
  // A TCP stream of zeros is not a run of 700 empty messages: its framing is lost once.
  const std::vector<uint8_t> zeros(1400, 0);
  nameTableDnsPacket(true, 4, kHost4, kServer4, 40001, 53, kTcp, zeros.data(), zeros.size(), kT0);
  const NameTableCounts counts = nameTableCounts();
  EXPECT_EQ(counts.malformed, 3u);
  EXPECT_EQ(counts.unsolicited, 0u);
}

// A flood of queries that are never answered makes room for the newest:
// the oldest waiting queries go, and a full table costs no more per query.
TEST_F(NameTable, AFloodOfUnansweredQueriesLeavesRoomForNewOnes) {
  for (size_t i = 0; i < 3 * kMaxPendingQueries; ++i) {
    query4(static_cast<uint16_t>(i), "flood" + std::to_string(i) + ".example", kT0 + i / 100);
  }
  query4(65000, "www.example.com", kT0 + 100);
  answer4(65000, "www.example.com", {{4, kWeb4, 600}}, kT0 + 101);
  EXPECT_EQ(lookup(kWeb4, kT0 + 102), "www.example.com");
  answer4(0, "flood0.example", {{4, {192, 0, 2, 9}, 600}}, kT0 + 103);  // went long ago
  EXPECT_EQ(lookup({192, 0, 2, 9}, kT0 + 104), "");
}

}  // namespace
