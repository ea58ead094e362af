// The ClickHouse store against a real server of the test's own: what is
// written is counted and answered, old days are dropped, bad locations are
// refused with a reason, and a server restart in the middle of a burst
// loses no record.
#include <gtest/gtest.h>

#include <set>

#include "platform/clock.h"
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "export/sample_records.h"
#include "store/clickhouse_store.h"
#include "store/flow_query.h"
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
  batch[1].owner = makeOwner("/usr/bin/resolver", "svc", "HOST", "resolver.service", "");
  batch[2].owner = makeOwner("/usr/sbin/sshd", "svc", "HOST", "ssh.service", "4f1c0a9e2b7d");
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
  EXPECT_EQ(got[2].owner->service + "|" + got[2].owner->container, "ssh.service|4f1c0a9e2b7d");
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
  q = {};
  q.service = "resolver.service";
  EXPECT_EQ(count(q), 1u);
  q = {};
  q.container = "4f1c0a9e2b7d";
  EXPECT_EQ(count(q), 1u);
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
  q.top = TopKind::services;
  ASSERT_TRUE(store->queryTop(q, rows, error)) << error;
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].key + " " + rows[1].key + " " + rows[2].key, "ssh.service  resolver.service");
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

// A table an older collector made, without service and container.
TEST_F(ClickHouseStore, OlderTableIsReadAsItIsAndGainsTheColumnsWhenWritten) {
  ASSERT_EQ(server_.query(
                "CREATE TABLE fleet.flows (day Date, exporter String, obsdomain UInt32, firstseen UInt64, "
                "lastseen UInt64, srcip String, dstip String, srcport UInt16, dstport UInt16, proto UInt8, tos UInt8, "
                "pkts UInt32, bytes UInt32, flags UInt8, replydelay UInt16, inif UInt8, outif UInt8, "
                "processname String, `user` String, domain String) ENGINE = MergeTree PARTITION BY day "
                "ORDER BY (exporter, lastseen)"),
            "");
  ASSERT_EQ(server_.query("INSERT INTO fleet.flows (day, exporter, lastseen, processname) VALUES "
                          "(today(), unhex('0a000001'), 1000, 'old')"),
            "");
  const auto listed = [&](FlowStore& store, const FlowQuery& q) {
    std::string text, error;
    EXPECT_TRUE(store.queryFlows(q, [&](const StoredFlow& f) {
      text += f.owner->processname + "/" + f.owner->service + " ";
    }, error)) << error;
    return text;
  };
  FlowQuery byService;
  byService.service = "a.service";
  auto reader = open(server_.url("fleet"), false);
  ASSERT_TRUE(reader) << error_;
  EXPECT_EQ(listed(*reader, FlowQuery{}), "old/ ");
  EXPECT_EQ(listed(*reader, byService), "");
  auto writer = open(server_.url("fleet"));
  ASSERT_TRUE(writer) << error_;
  StoredFlow added = flow("10.0.0.1", "10.0.0.1", "192.0.2.8", 6, 53, 17, 60, 2000, "new");
  added.owner = makeOwner("new", "u", "HOST", "a.service", "");
  std::string error;
  ASSERT_TRUE(writer->write({added}, error)) << error;
  EXPECT_EQ(listed(*writer, FlowQuery{}), "new/a.service old/ ");
  EXPECT_EQ(listed(*writer, byService), "new/a.service ");
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

namespace {

// Many records of three hosts, both families, several programs, peers and
// ports, each last seen at its own moment so that every answer has one order.
std::vector<StoredFlow> mixedRecords(uint64_t now) {
  const char* hosts[] = {"10.0.0.1", "10.0.0.2", "10.0.0.3"};
  const char* peers[] = {"192.0.2.7", "192.0.2.200", "198.51.100.1", "2001:db8::1", "2001:db8:1::9"};
  const char* processes[] = {"/usr/bin/curl", "C:\\Windows\\svchost.exe", "/usr/sbin/ntpd", ""};
  const uint16_t ports[] = {443, 53, 123, 22};
  const uint8_t protos[] = {6, 17, 17, 6, 1};
  std::vector<StoredFlow> records;
  for (int i = 0; i < 3000; ++i) {
    const char* peer = peers[i % 5];
    const bool v6 = peer[0] == '2';
    StoredFlow f = flow(hosts[i % 3], v6 ? "2001:db8:ffff::1" : hosts[i % 3], peer, 30000 + i % 7, ports[i % 4],
                        protos[i % 5], 100 + (i * 37) % 5000, now - uint64_t(i) * 1000, processes[i % 4], i % 6 == 0);
    if (f.inif) std::swap(f.srcip, f.dstip);
    records.push_back(f);
  }
  return records;
}

}  // namespace

TEST_F(ClickHouseStore, GivesTheSameAnswersAsTheFileStore) {
  auto clickhouse = open(server_.url("fleet"));
  ASSERT_TRUE(clickhouse) << error_;
  TempDir dir;
  StoreOpenFailure failure;
  auto file = openFlowStore(dir.file("flows.sqlite"), true, failure, error_);
  ASSERT_TRUE(file) << error_;
  const uint64_t now = currentTimeMillis();
  std::vector<StoredFlow> records = mixedRecords(now);
  const char* const names[] = {"www.example.com", "example.com", "notexample.com", ""};
  for (size_t i = 0; i < records.size(); ++i) {
    records[i].peerName = PeerName::make(names[i % 4], i % 3 ? NameSource::kDns : NameSource::kQuic);
  }
  std::string error;
  ASSERT_TRUE(clickhouse->write(records, error)) << error;
  ASSERT_TRUE(file->write(records, error)) << error;
  file.reset();

  const std::vector<std::vector<std::string>> questions = {
      {"--top", "processes"},
      {"--top", "hosts", "--format", "json"},
      {"--top", "peers", "--since", "30m", "--format", "csv"},
      {"--top", "ports", "--host", "10.0.0.2"},
      {"--peer", "2001:db8::/48", "--format", "json"},
      {"--process", "svchost.exe", "--since", "10m", "--until", "5m"},
      {"--user", "svc", "--port", "53", "--peer", "192.0.2.0/24", "--format", "csv"},
      {"--since", "20m", "--format", "json"},
      {"--peer-name", "example.com", "--format", "csv"},
      {"--top", "names"},
  };
  for (const auto& question : questions) {
    std::string answers[2], messages;
    const std::string stores[2] = {server_.url("fleet"), dir.file("flows.sqlite")};
    for (int s = 0; s < 2; ++s) {
      std::vector<std::string> args = {"--store", stores[s]};
      args.insert(args.end(), question.begin(), question.end());
      EXPECT_EQ(runQueryCommand(args, [&](const std::string& t) { answers[s] += t; },
                                [&](const std::string& t) { messages += t; }),
                0)
          << messages;
    }
    EXPECT_GT(countOf(answers[0], "\n"), 1u) << question[0] << " " << question[1];
    EXPECT_EQ(answers[0], answers[1]) << question[0] << " " << question[1];
  }
}

TEST_F(ClickHouseStore, TheCollectorStoresTheRecordsOfEachExporter) {
  CollectorProcess collector;
  TempDir dir;
  ASSERT_TRUE(collector.start(dir, "127.0.0.1:0", "", {"--store", server_.url("fleet"), "--keep", "0"}))
      << collector.child.output();
  EXPECT_NE(collector.child.output().find("vantrel-collect: storing flows in ClickHouse 127.0.0.1:" +
                                          std::to_string(server_.httpPort) + "/fleet (0 records)\n"),
            std::string::npos)
      << collector.child.output();
  for (const char* exporter : {"127.0.0.2", "127.0.0.3"}) {
    const int fd = boundSocket(SOCK_DGRAM, exporter);
    ASSERT_GE(fd, 0);
    const sockaddr_in to = endpoint("127.0.0.1", collector.port);
    ASSERT_EQ(sendto(fd, kSampleDatagram.data(), kSampleDatagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                     sizeof to),
              ssize_t(kSampleDatagram.size()));
    close(fd);
  }
  EXPECT_TRUE(waitFor([&] { return server_.query("SELECT count() FROM fleet.flows") == "2\n"; },
                      std::chrono::seconds(10)));
  collector.child.signal(SIGTERM);
  EXPECT_EQ(collector.child.wait(std::chrono::seconds(10)), 0) << collector.child.output();

  std::string answer, messages;
  EXPECT_EQ(runQueryCommand({"--store", server_.url("fleet"), "--top", "hosts", "--format", "csv"},
                            [&](const std::string& t) { answer += t; }, [&](const std::string& t) { messages += t; }),
            0)
      << messages;
  EXPECT_NE(answer.find("\n127.0.0.2,4200,12,1\n"), std::string::npos) << answer;
  EXPECT_NE(answer.find("\n127.0.0.3,4200,12,1\n"), std::string::npos) << answer;
  EXPECT_EQ(server_.query("SELECT DISTINCT processname, `user`, domain FROM fleet.flows"),
            "C:/Tools/client.exe\talice\tHOST1\n");
}

// The usage question from the per-minute view gives what the file store
// gives from its flows, for every grouping, filter and host.
TEST_F(ClickHouseStore, UsageFromTheMinutesViewMatchesTheFileStore) {
  auto clickhouse = open(server_.url("fleet"));
  ASSERT_TRUE(clickhouse) << error_;
  TempDir dir;
  StoreOpenFailure failure;
  auto file = openFlowStore(dir.file("flows.sqlite"), true, failure, error_);
  ASSERT_TRUE(file) << error_;
  const uint64_t now = currentTimeMillis();
  std::vector<StoredFlow> records = mixedRecords(now);
  for (size_t i = 0; i < records.size(); i += 7) records[i].peerName = PeerName::make("www.example.com", NameSource::kDns);
  std::string error;
  // In two inserts: the view sums the parts of each.
  const std::vector<StoredFlow> first(records.begin(), records.begin() + 1000), rest(records.begin() + 1000, records.end());
  ASSERT_TRUE(clickhouse->write(first, error) && clickhouse->write(rest, error)) << error;
  ASSERT_TRUE(file->write(records, error)) << error;

  auto text = [](const UsageAnswer& a) {
    std::string t;
    for (size_t i = 0; i < a.top.size(); ++i) {
      t += a.top[i].key + " " + std::to_string(a.top[i].bytes) + " " + std::to_string(a.top[i].pkts) + " " +
           std::to_string(a.top[i].flows) + ":";
      for (uint64_t b : a.series[i].bytes) t += " " + std::to_string(b);
      t += "\n";
    }
    return t;
  };
  const UsageQuery questions[] = {
      {.by = UsageBy::process},
      {.by = UsageBy::peer, .limit = 3},
      {.by = UsageBy::port, .host = "10.0.0.2"},
      {.by = UsageBy::user, .process = "svchost.exe"},
      {.by = UsageBy::process, .peer = "www.example.com"},
      {.by = UsageBy::process, .peer = "2001:db8::1", .port = 22},
      {.by = UsageBy::peer, .host = "10.0.0.3"},
  };
  for (UsageQuery q : questions) {
    q.until = now;
    q.since = now - 3600000;
    q.step = usageStep(q.since, q.until);
    q.since -= q.since % q.step;
    UsageAnswer answers[2];
    ASSERT_TRUE(clickhouse->queryUsage(q, answers[0], error)) << error;
    ASSERT_TRUE(file->queryUsage(q, answers[1], error)) << error;
    EXPECT_GT(answers[0].top.size(), 0u) << usageByName(q.by) << " " << q.host << q.process << q.peer;
    EXPECT_EQ(text(answers[0]), text(answers[1])) << usageByName(q.by) << " " << q.host << q.process << q.peer;
  }
  // Seven days in half hours: read from both stores' half-hour totals.
  for (UsageBy by : {UsageBy::process, UsageBy::peer, UsageBy::service, UsageBy::port, UsageBy::user}) {
    for (const char* host : {"", "10.0.0.2"}) {
      UsageQuery q{.until = now, .by = by, .limit = 3, .host = host};
      q.since = now - 7 * 24 * 3600000;
      q.step = usageStep(q.since, q.until);
      q.since -= q.since % q.step;
      ASSERT_EQ(q.step, 30 * 60000u);
      UsageAnswer answers[2];
      ASSERT_TRUE(clickhouse->queryUsage(q, answers[0], error)) << error;
      ASSERT_TRUE(file->queryUsage(q, answers[1], error)) << error;
      EXPECT_GT(answers[0].top.size(), 0u) << usageByName(q.by) << " " << q.host;
      EXPECT_EQ(text(answers[0]), text(answers[1])) << usageByName(q.by) << " " << q.host;
    }
  }
  std::vector<StoreHost> hosts[2];
  ASSERT_TRUE(clickhouse->listHosts(hosts[0], error) && file->listHosts(hosts[1], error)) << error;
  ASSERT_EQ(hosts[0].size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(hosts[0][i].exporter.text(), hosts[1][i].exporter.text());
    EXPECT_EQ(hosts[0][i].records, hosts[1][i].records);
    EXPECT_EQ(hosts[0][i].lastSeen, hosts[1][i].lastSeen);
  }

  // A table that had flows before its view: they are in the minutes once
  // it is opened for writing again, not twice.
  ASSERT_EQ(server_.query("DROP TABLE fleet.flow_minutes_feed"), "");
  ASSERT_EQ(server_.query("TRUNCATE TABLE fleet.flow_minutes"), "");
  clickhouse = open(server_.url("fleet"));
  ASSERT_TRUE(clickhouse) << error_;
  EXPECT_EQ(server_.query("SELECT sum(flows) FROM fleet.flow_minutes"), "3000\n")
      << server_.query("SELECT name FROM system.tables WHERE database = 'fleet'") << server_.query("SELECT count() FROM fleet.flows");
  clickhouse = open(server_.url("fleet"));
  EXPECT_EQ(server_.query("SELECT sum(flows) FROM fleet.flow_minutes"), "3000\n");
  ASSERT_EQ(server_.query("DROP TABLE fleet.flow_halfhours_feed"), "");
  ASSERT_EQ(server_.query("TRUNCATE TABLE fleet.flow_halfhours"), "");
  clickhouse = open(server_.url("fleet"));
  ASSERT_TRUE(clickhouse) << error_;
  EXPECT_EQ(server_.query("SELECT dimension, sum(flows) FROM fleet.flow_halfhours WHERE length(host) = 1 "
                          "GROUP BY dimension ORDER BY dimension"),
            "0\t3000\n1\t3000\n2\t3000\n3\t3000\n4\t3000\n");
}

// The collector's web view over ClickHouse: the records of two exporters
// give the host list and the same `usage` per host as over its file.
TEST_F(ClickHouseStore, TheCollectorsWebViewAnswersPerHost) {
  TempDir dir;
  CollectorProcess collector;
  ASSERT_TRUE(collector.start(dir, "127.0.0.1:0", "",
                              {"--store", server_.url("fleet"), "--keep", "0", "--web", "127.0.0.1:0", "--web-user", "admin",
                               "--web-pass", "s3cret", "--web-root", std::string(VANTREL_SOURCE_DIR) + "/resources/web"}))
      << collector.child.output();
  const uint16_t web = collectorWebPort(collector.child);
  ASSERT_NE(web, 0) << collector.child.output();
  for (const char* exporter : {"127.0.0.2", "127.0.0.3", "127.0.0.3"}) {
    const int fd = boundSocket(SOCK_DGRAM, exporter);
    ASSERT_GE(fd, 0);
    const sockaddr_in to = endpoint("127.0.0.1", collector.port);
    ASSERT_EQ(sendto(fd, kSampleDatagram.data(), kSampleDatagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                     sizeof to),
              ssize_t(kSampleDatagram.size()));
    close(fd);
  }
  EXPECT_TRUE(waitFor([&] { return server_.query("SELECT count() FROM fleet.flows") == "3\n"; },
                      std::chrono::seconds(10)))
      << collector.child.output();
  std::string body;
  ASSERT_EQ(digestGet(web, "/data/?requestedData=hosts", "admin:s3cret", &body), 200);
  const Json::Value hosts = parseJson(body)["hosts"];
  ASSERT_EQ(hosts.size(), 2u) << body;
  // Last seen at the same moment: in address order.
  EXPECT_EQ(hosts[0]["host"], "127.0.0.2");
  EXPECT_EQ(hosts[0]["records"], 1);
  EXPECT_EQ(hosts[1]["host"], "127.0.0.3");
  EXPECT_EQ(hosts[1]["records"], 2);
  // The sample records were last seen long ago: the range is theirs.
  const uint64_t lastSeen = hosts[0]["lastSeen"].asUInt64();
  const std::string range = "&since=" + std::to_string(lastSeen - 3600000) + "&until=" + std::to_string(lastSeen + 1);
  for (const char* host : {"127.0.0.2", "127.0.0.3"}) {
    ASSERT_EQ(digestGet(web, "/data/?requestedData=usage" + range + "&host=" + host, "admin:s3cret", &body), 200);
    const Json::Value top = parseJson(body)["usage"]["top"];
    ASSERT_EQ(top.size(), 1u) << body;
    EXPECT_EQ(top[0]["key"], "C:/Tools/client.exe");
    EXPECT_EQ(top[0]["bytes"].asUInt64(), host[8] == '2' ? 4200u : 8400u);
  }
  EXPECT_EQ(digestGet(web, "/data/?requestedData=hosts", "admin:wrong", &body), 401);
  collector.child.signal(SIGTERM);
  EXPECT_EQ(collector.child.wait(std::chrono::seconds(10)), 0) << collector.child.output();
}
