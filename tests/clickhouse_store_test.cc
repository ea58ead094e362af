// The ClickHouse store against a real server of the test's own: what is
// written is counted and answered, old days are dropped, bad locations are
// refused with a reason, and a server restart in the middle of a burst
// loses no record.
#include <gtest/gtest.h>

#include <set>

#include "platform/clock.h"
#include "store/clickhouse_store.h"
#include "store/store_writer.h"
#include "tests/support/clickhouse_server.h"

namespace {

constexpr uint64_t kDay = 24ull * 3600 * 1000;

StoreAddress addr(const char* text) {
  StoreAddress a;
  EXPECT_TRUE(parseStoreAddress(text, a)) << text;
  return a;
}

StoredFlow flow(const char* exporter, const char* src, const char* dst, uint16_t sport, uint16_t dport,
                uint8_t proto, uint32_t bytes, uint64_t lastseen, const char* process, bool inbound = false) {
  StoredFlow f;
  f.exporter = addr(exporter);
  f.srcip = addr(src);
  f.dstip = addr(dst);
  f.srcport = sport;
  f.dstport = dport;
  f.proto = proto;
  f.bytes = bytes;
  f.pkts = bytes / 100 + 1;
  f.firstseen = lastseen - 500;
  f.lastseen = lastseen;
  f.inif = inbound ? 1 : 0;
  f.outif = inbound ? 0 : 1;
  f.tos = 46;
  f.flags = 0x1b;
  f.replydelay = 7;
  if (*process) f.owner = makeOwner(process, "svc", "HOST");
  return f;
}

class ClickHouseStore : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_CLICKHOUSE(server_);
    ASSERT_TRUE(server_.start()) << readFile(server_.dir.file("server.log"));
    ASSERT_EQ(server_.query("CREATE DATABASE fleet"), "");
  }
  std::unique_ptr<FlowStore> open(const std::string& location, bool forWriting = true) {
    StoreOpenFailure failure;
    auto store = openClickHouseStore(location, forWriting, failure, error_);
    EXPECT_EQ(store != nullptr, failure == StoreOpenFailure::none);
    failure_ = failure;
    return store;
  }
  ClickHouseServer server_;
  std::string error_;
  StoreOpenFailure failure_ = StoreOpenFailure::none;
};

TEST_F(ClickHouseStore, KeepsWhatIsWrittenAndAnswersQuestions) {
  auto store = open(server_.url("fleet"));
  ASSERT_TRUE(store) << error_;
  EXPECT_EQ(store->description, "ClickHouse 127.0.0.1:" + std::to_string(server_.httpPort) + "/fleet");
  const uint64_t now = currentTimeMillis();
  std::vector<StoredFlow> batch = {
      flow("10.0.0.1", "10.0.0.1", "192.0.2.7", 40000, 443, 6, 5000, now - 1000, "C:\\apps\\browser.exe"),
      flow("10.0.0.1", "10.0.0.1", "192.0.2.9", 40001, 53, 17, 300, now - 2000, "/usr/bin/resolver"),
      flow("10.0.0.2", "2001:db8::5", "2001:db8::1", 50000, 22, 6, 9000, now - 3000, "/usr/sbin/sshd", true),
      flow("10.0.0.2", "10.0.0.2", "192.0.2.7", 0, 0, 1, 100, now - 2 * 3600 * 1000, ""),
  };
  std::string error;
  ASSERT_TRUE(store->write(batch, error)) << error;
  uint64_t records = 0;
  ASSERT_TRUE(store->count(records, error)) << error;
  EXPECT_EQ(records, 4u);

  // Every column comes back as written, newest first.
  FlowQuery all;
  std::vector<StoredFlow> got;
  ASSERT_TRUE(store->queryFlows(all, [&](const StoredFlow& f) { got.push_back(f); }, error)) << error;
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].exporter.text(), "10.0.0.1");
  EXPECT_EQ(got[0].dstip.text(), "192.0.2.7");
  EXPECT_EQ(got[0].firstseen, now - 1500);
  EXPECT_EQ(got[0].lastseen, now - 1000);
  EXPECT_EQ(got[0].srcport, 40000);
  EXPECT_EQ(got[0].tos, 46);
  EXPECT_EQ(got[0].flags, 0x1b);
  EXPECT_EQ(got[0].replydelay, 7);
  EXPECT_EQ(got[0].outif, 1);
  ASSERT_TRUE(got[0].owner);
  EXPECT_EQ(got[0].owner->processname, "C:\\apps\\browser.exe");
  EXPECT_EQ(got[0].owner->user, "svc");
  EXPECT_EQ(got[2].srcip.text(), "2001:db8::5");
  EXPECT_FALSE(got[3].owner);

  auto count = [&](const FlowQuery& q) {
    size_t n = 0;
    EXPECT_TRUE(store->queryFlows(q, [&](const StoredFlow&) { ++n; }, error)) << error;
    return n;
  };
  FlowQuery q;
  q.process = "browser.exe";  // the last part of a Windows path
  EXPECT_EQ(count(q), 1u);
  q = {};
  q.process = "resolver";
  EXPECT_EQ(count(q), 1u);
  q = {};
  q.host = addr("10.0.0.2");
  EXPECT_EQ(count(q), 2u);
  q = {};
  q.since = now - 3600 * 1000;
  EXPECT_EQ(count(q), 3u);
  q = {};
  q.until = now - 3600 * 1000;
  EXPECT_EQ(count(q), 1u);
  q = {};
  q.port = 53;
  EXPECT_EQ(count(q), 1u);
  q = {};
  q.user = "svc";
  q.limit = 2;
  EXPECT_EQ(count(q), 2u);
  q = {};  // the far end of an inbound flow is its source
  q.peerLow = addr("2001:db8::");
  q.peerHigh = addr("2001:db8::ffff");
  EXPECT_EQ(count(q), 1u);
  q = {};
  q.peerLow = addr("192.0.2.0");
  q.peerHigh = addr("192.0.2.7");
  EXPECT_EQ(count(q), 2u);

  std::vector<TopRow> rows;
  q = {};
  q.top = TopKind::processes;
  ASSERT_TRUE(store->queryTop(q, rows, error)) << error;
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].key, "/usr/sbin/sshd");
  EXPECT_EQ(rows[0].bytes, 9000u);
  EXPECT_EQ(rows[3].key, "");
  q.top = TopKind::hosts;
  ASSERT_TRUE(store->queryTop(q, rows, error)) << error;
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].key, "10.0.0.2");
  EXPECT_EQ(rows[0].bytes, 9100u);
  EXPECT_EQ(rows[0].flows, 2u);
  q.top = TopKind::peers;
  ASSERT_TRUE(store->queryTop(q, rows, error)) << error;
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].key, "2001:db8::5");
  EXPECT_EQ(rows[1].key, "192.0.2.7");
  EXPECT_EQ(rows[1].bytes, 5100u);
  q.top = TopKind::ports;  // ICMP has no ports
  ASSERT_TRUE(store->queryTop(q, rows, error)) << error;
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].port, 22);
  EXPECT_EQ(rows[0].proto, 6);
  EXPECT_EQ(rows[2].port, 53);
  EXPECT_EQ(rows[2].proto, 17);

  // Opened again, the table is found as it is.
  auto again = open(server_.url("fleet"), false);
  ASSERT_TRUE(again) << error_;
  ASSERT_TRUE(again->count(records, error)) << error;
  EXPECT_EQ(records, 4u);
}

TEST_F(ClickHouseStore, RetentionDropsOnlyWholeOldDays) {
  auto store = open(server_.url("fleet"));
  ASSERT_TRUE(store) << error_;
  const uint64_t now = currentTimeMillis();
  std::vector<StoredFlow> batch;
  for (int age : {40, 35, 31, 2, 0}) {
    for (int i = 0; i < 3; ++i) {
      batch.push_back(flow("10.0.0.1", "10.0.0.1", "192.0.2.7", 40000 + i, 443, 6, 100, now - age * kDay, "p"));
    }
  }
  std::string error;
  ASSERT_TRUE(store->write(batch, error)) << error;
  size_t removed = 0;
  ASSERT_TRUE(store->prune(now - 30 * kDay, 5000, removed, error)) << error;
  EXPECT_EQ(removed, 9u);
  uint64_t records = 0;
  ASSERT_TRUE(store->count(records, error)) << error;
  EXPECT_EQ(records, 6u);
  ASSERT_TRUE(store->prune(now - 30 * kDay, 5000, removed, error)) << error;
  EXPECT_EQ(removed, 0u);
}

TEST_F(ClickHouseStore, RefusesBadLocationsWithTheirReason) {
  EXPECT_FALSE(open("clickhouse://no-such-host.invalid:8123/fleet"));
  EXPECT_NE(error_.find("cannot reach ClickHouse at no-such-host.invalid:8123: cannot resolve"), std::string::npos)
      << error_;
  ClickHouseServer other;  // its ports are free: nobody listens
  EXPECT_FALSE(open(other.url("fleet")));
  EXPECT_NE(error_.find("cannot reach ClickHouse at 127.0.0.1:" + std::to_string(other.httpPort)), std::string::npos)
      << error_;
  EXPECT_FALSE(open(server_.url("nosuch")));
  EXPECT_NE(error_.find("has no database 'nosuch'"), std::string::npos) << error_;
  EXPECT_FALSE(open("clickhouse://127.0.0.1:8123"));
  EXPECT_NE(error_.find("is not clickhouse://"), std::string::npos) << error_;
  // A table of that name that is not ours is left alone.
  ASSERT_EQ(server_.query("CREATE DATABASE other"), "");
  ASSERT_EQ(server_.query("CREATE TABLE other.flows (a UInt8) ENGINE = Memory"), "");
  EXPECT_FALSE(open(server_.url("other")));
  EXPECT_EQ(failure_, StoreOpenFailure::notAStore);
  EXPECT_NE(error_.find("is not a flow store of this program"), std::string::npos) << error_;
  // Reading a database that holds nothing yet creates nothing.
  EXPECT_FALSE(open(server_.url("default"), false));
  EXPECT_EQ(server_.query("EXISTS TABLE default.flows"), "0\n");
}

TEST_F(ClickHouseStore, ARestartInTheMiddleOfABurstLosesNothing) {
  auto store = open(server_.url("fleet"));
  ASSERT_TRUE(store) << error_;
  StoreWriter writer;
  std::vector<std::string> said;
  std::mutex saidMutex;
  StoreWriterSettings settings;
  settings.batchMillis = 50;
  startStoreWriter(writer, std::move(store), settings, [&](const std::string& line) {
    std::lock_guard<std::mutex> lock(saidMutex);
    said.push_back(line);
  });
  const uint64_t now = currentTimeMillis();
  constexpr int kRecords = 120000;
  for (int i = 0; i < kRecords; i += 1000) {
    std::vector<StoredFlow> chunk;
    for (int j = i; j < i + 1000; ++j) {
      chunk.push_back(flow("10.0.0.1", "10.0.0.1", "192.0.2.7", j % 60000, 443, 6, 100, now, "p"));
    }
    queueFlows(writer, chunk);
    if (i == 40000) server_.stop();
    if (i == 80000) ASSERT_TRUE(server_.start());
  }
  finishStoreWriter(writer);
  EXPECT_EQ(writer.dropped.load(), 0u);
  EXPECT_EQ(writer.lost.load(), 0u);
  EXPECT_EQ(writer.stored.load(), uint64_t(kRecords));
  EXPECT_EQ(server_.query("SELECT count() FROM fleet.flows"), std::to_string(kRecords) + "\n");
  std::lock_guard<std::mutex> lock(saidMutex);
  ASSERT_GE(said.size(), 2u);
  EXPECT_NE(said[0].find("cannot write to the store: "), std::string::npos) << said[0];
  EXPECT_NE(said[0].find("ClickHouse at 127.0.0.1:" + std::to_string(server_.httpPort)), std::string::npos) << said[0];
  EXPECT_EQ(said[1], "vantrel-collect: writing to the store again\n");
}

}  // namespace
