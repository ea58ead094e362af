#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <random>

#include "platform/clock.h"
#include "store/flow_query.h"
#include "store/flow_store.h"

#include <gtest/gtest.h>

namespace {

constexpr uint64_t kHour = 3600 * 1000;

// A folder of the test's own under /tmp, removed afterwards.
struct Folder {
  std::string path;
  Folder() {
    char name[] = "/tmp/vantrel-store-XXXXXX";
    path = mkdtemp(name);
  }
  ~Folder() { (void)system(("rm -rf '" + path + "'").c_str()); }
  std::string file(const std::string& name) const { return path + "/" + name; }
};

StoredFlow flow(const char* exporter, const char* src, const char* dst, uint16_t sport, uint16_t dport,
                uint8_t proto, uint32_t bytes, uint64_t lastseen, const char* process, const char* user,
                bool inbound = false) {
  StoredFlow f;
  EXPECT_TRUE(parseStoreAddress(exporter, f.exporter) && parseStoreAddress(src, f.srcip) &&
              parseStoreAddress(dst, f.dstip));
  f.srcport = sport, f.dstport = dport, f.proto = proto, f.bytes = bytes, f.pkts = bytes / 100;
  f.firstseen = lastseen - 1000, f.lastseen = lastseen;
  f.inif = inbound, f.outif = !inbound;
  f.owner = makeOwner(process, user, "HOST");
  return f;
}

std::unique_ptr<FlowStore> open(const std::string& path, bool forWriting, StoreOpenFailure* failure = nullptr,
                                std::string* error = nullptr) {
  StoreOpenFailure f;
  std::string e;
  auto store = openFlowStore(path, forWriting, f, e);
  if (failure) *failure = f;
  if (error) *error = e;
  return store;
}

void sql(const std::string& path, const std::string& text) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, text.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

TEST(SqliteStore, KeepsEveryColumnAndAnswersEachQuestion) {
  Folder dir;
  const uint64_t now = currentTimeMillis();
  std::vector<StoredFlow> flows = {
      flow("10.0.0.1", "10.0.0.1", "192.0.2.7", 50000, 443, 6, 5000, now - 10 * 60000, "C:/Tools/client.exe", "alice"),
      flow("10.0.0.1", "192.0.2.7", "10.0.0.1", 443, 50000, 6, 90000, now - 10 * 60000, "C:/Tools/client.exe",
           "alice", true),
      flow("10.0.0.2", "10.0.0.2", "198.51.100.9", 40000, 53, 17, 300, now - 2 * kHour, "/usr/sbin/resolver", "bob"),
      flow("2001:db8::1", "2001:db8::1", "2001:db8:ff::5", 41000, 22, 6, 7000, now - 3 * 60000, "ssh", "carol"),
      flow("10.0.0.2", "10.0.0.2", "192.0.2.200", 8, 0, 1, 84, now - 30 * 60000, "", ""),
  };
  flows[1].lastseen -= 1;
  flows[0].owner = flows[1].owner = makeOwner("C:/Tools/client.exe", "alice", "HOST", "Client Agent", "");
  flows[3].owner = makeOwner("ssh", "carol", "HOST", "session-4.scope", "4f1c0a9e2b7d");
  flows[0].obsdomain = 7, flows[0].tos = 46, flows[0].flags = 0x1B, flows[0].replydelay = 35;
  {
    auto store = open(dir.file("f.sqlite"), true);
    ASSERT_TRUE(store);
    std::string error;
    ASSERT_TRUE(store->write(flows, error)) << error;
  }
  auto store = open(dir.file("f.sqlite"), false);  // a fresh reader sees what was committed
  ASSERT_TRUE(store);
  uint64_t count = 0;
  std::string error;
  ASSERT_TRUE(store->count(count, error));
  EXPECT_EQ(count, 5u);

  auto ask = [&](FlowQuery q) {
    std::vector<StoredFlow> got;
    EXPECT_TRUE(store->queryFlows(q, [&](const StoredFlow& f) { got.push_back(f); }, error)) << error;
    std::string shape;
    for (const StoredFlow& f : got) shape += f.srcip.text() + ">" + f.dstip.text() + " ";
    return shape;
  };
  FlowQuery all;
  const std::string everything = ask(all);  // newest first
  EXPECT_EQ(everything,
            "2001:db8::1>2001:db8:ff::5 10.0.0.1>192.0.2.7 192.0.2.7>10.0.0.1 10.0.0.2>192.0.2.200 "
            "10.0.0.2>198.51.100.9 ");

  struct Case {
    const char* what;
    FlowQuery query;
    const char* expected;
  };
  std::vector<Case> cases;
  auto add = [&](const char* what, auto change, const char* expected) {
    FlowQuery q;
    change(q);
    cases.push_back({what, q, expected});
  };
  add("since 1h", [&](FlowQuery& q) { q.since = now - kHour; },
      "2001:db8::1>2001:db8:ff::5 10.0.0.1>192.0.2.7 192.0.2.7>10.0.0.1 10.0.0.2>192.0.2.200 ");
  add("until 1h ago", [&](FlowQuery& q) { q.until = now - kHour; }, "10.0.0.2>198.51.100.9 ");
  add("host", [&](FlowQuery& q) { parseStoreAddress("10.0.0.2", q.host); },
      "10.0.0.2>192.0.2.200 10.0.0.2>198.51.100.9 ");
  add("process by file name", [&](FlowQuery& q) { q.process = "client.exe"; },
      "10.0.0.1>192.0.2.7 192.0.2.7>10.0.0.1 ");
  add("process by whole name", [&](FlowQuery& q) { q.process = "/usr/sbin/resolver"; }, "10.0.0.2>198.51.100.9 ");
  add("process part is no match", [&](FlowQuery& q) { q.process = "lient.exe"; }, "");
  add("user", [&](FlowQuery& q) { q.user = "carol"; }, "2001:db8::1>2001:db8:ff::5 ");
  add("service", [&](FlowQuery& q) { q.service = "Client Agent"; }, "10.0.0.1>192.0.2.7 192.0.2.7>10.0.0.1 ");
  add("container", [&](FlowQuery& q) { q.container = "4f1c0a9e2b7d"; }, "2001:db8::1>2001:db8:ff::5 ");
  add("peer, either direction", [&](FlowQuery& q) { parseStoreAddress("192.0.2.7", q.peerLow), q.peerHigh = q.peerLow; },
      "10.0.0.1>192.0.2.7 192.0.2.7>10.0.0.1 ");
  add("peer prefix", [&](FlowQuery& q) {
        parseStoreAddress("192.0.2.0", q.peerLow), parseStoreAddress("192.0.2.255", q.peerHigh);
      },
      "10.0.0.1>192.0.2.7 192.0.2.7>10.0.0.1 10.0.0.2>192.0.2.200 ");
  add("IPv6 peer prefix", [&](FlowQuery& q) {
        parseStoreAddress("2001:db8:ff::", q.peerLow), parseStoreAddress("2001:db8:ff:ffff:ffff:ffff:ffff:ffff", q.peerHigh);
      },
      "2001:db8::1>2001:db8:ff::5 ");
  add("port at either end, not ICMP", [&](FlowQuery& q) { q.port = 443; }, "10.0.0.1>192.0.2.7 192.0.2.7>10.0.0.1 ");
  add("ICMP type is no port", [&](FlowQuery& q) { q.port = 8; }, "");
  add("limit", [&](FlowQuery& q) { q.limit = 1; }, "2001:db8::1>2001:db8:ff::5 ");
  add("two filters", [&](FlowQuery& q) { q.user = "alice", q.port = 50000, q.since = now - kHour; },
      "10.0.0.1>192.0.2.7 192.0.2.7>10.0.0.1 ");
  for (const Case& c : cases) EXPECT_EQ(ask(c.query), c.expected) << c.what;

  std::vector<StoredFlow> one;
  FlowQuery q;
  q.process = "client.exe";
  q.limit = 1;
  ASSERT_TRUE(store->queryFlows(q, [&](const StoredFlow& f) { one.push_back(f); }, error));
  ASSERT_EQ(one.size(), 1u);
  const StoredFlow& f = one[0];
  EXPECT_EQ(f.exporter.text(), "10.0.0.1");
  EXPECT_TRUE(f.exporter == flows[0].exporter && f.obsdomain == 7 && f.lastseen == flows[0].lastseen &&
              f.firstseen == flows[0].firstseen && f.srcport == 50000 && f.dstport == 443 && f.tos == 46 &&
              f.flags == 0x1B && f.replydelay == 35 && f.bytes == 5000 && f.pkts == 50 && f.outif == 1)
      << "the flow came back changed";
  ASSERT_TRUE(f.owner);
  EXPECT_EQ(f.owner->processname + "|" + f.owner->user + "|" + f.owner->domain + "|" + f.owner->service,
            "C:/Tools/client.exe|alice|HOST|Client Agent");

  auto top = [&](TopKind kind, uint64_t since = 0) {
    FlowQuery tq;
    tq.top = kind, tq.since = since, tq.limit = 10;
    std::vector<TopRow> rows;
    EXPECT_TRUE(store->queryTop(tq, rows, error)) << error;
    std::string text;
    for (const TopRow& r : rows) {
      text += (kind == TopKind::ports ? std::to_string(r.port) + "/" + std::to_string(r.proto) : r.key) + "=" +
              std::to_string(r.bytes) + "," + std::to_string(r.flows) + " ";
    }
    return text;
  };
  EXPECT_EQ(top(TopKind::processes), "C:/Tools/client.exe=95000,2 ssh=7000,1 /usr/sbin/resolver=300,1 =84,1 ");
  EXPECT_EQ(top(TopKind::processes, now - kHour), "C:/Tools/client.exe=95000,2 ssh=7000,1 =84,1 ");
  EXPECT_EQ(top(TopKind::hosts), "10.0.0.1=95000,2 2001:db8::1=7000,1 10.0.0.2=384,2 ");
  EXPECT_EQ(top(TopKind::peers), "192.0.2.7=95000,2 2001:db8:ff::5=7000,1 198.51.100.9=300,1 192.0.2.200=84,1 ");
  EXPECT_EQ(top(TopKind::ports), "443/6=95000,2 22/6=7000,1 53/17=300,1 ");
  EXPECT_EQ(top(TopKind::services), "Client Agent=95000,2 session-4.scope=7000,1 =384,2 ");
}

// A store written before flows had a service and container.
TEST(SqliteStore, StoreOfVersionOneIsReadAsItIsAndGainsTheColumnsWhenWritten) {
  Folder dir;
  const std::string path = dir.file("v1.sqlite");
  sql(path,
      "CREATE TABLE flows (exporter BLOB NOT NULL, obsdomain INTEGER NOT NULL, firstseen INTEGER NOT NULL,"
      " lastseen INTEGER NOT NULL, srcip BLOB NOT NULL, dstip BLOB NOT NULL, srcport INTEGER NOT NULL,"
      " dstport INTEGER NOT NULL, proto INTEGER NOT NULL, tos INTEGER NOT NULL, pkts INTEGER NOT NULL,"
      " bytes INTEGER NOT NULL, flags INTEGER NOT NULL, replydelay INTEGER NOT NULL, inif INTEGER NOT NULL,"
      " outif INTEGER NOT NULL, processname TEXT NOT NULL, user TEXT NOT NULL, domain TEXT NOT NULL);"
      "INSERT INTO flows VALUES (x'0a000001', 0, 1000, 2000, x'0a000001', x'c0000207', 5, 53, 17, 0, 1, 60, 0, 0,"
      " 0, 1, 'old', 'u', 'HOST');"
      "PRAGMA application_id = 1450460780; PRAGMA user_version = 1;");
  const auto listed = [&](FlowStore& store, FlowQuery q) {
    std::string text, error;
    EXPECT_TRUE(store.queryFlows(q, [&](const StoredFlow& f) {
      text += f.owner->processname + "/" + f.owner->service + "/" + f.owner->container + " ";
    }, error)) << error;
    return text;
  };
  FlowQuery byService;
  byService.service = "a.service";
  {
    auto reader = open(path, false);
    ASSERT_TRUE(reader);
    EXPECT_EQ(listed(*reader, FlowQuery{}), "old// ");
    EXPECT_EQ(listed(*reader, byService), "");
    // It holds no names: asked by name it answers nothing, and no error.
    FlowQuery byName;
    byName.peerName = "example.com";
    EXPECT_EQ(listed(*reader, byName), "");
    byName.peerName.clear();
    byName.top = TopKind::names;
    std::vector<TopRow> rows;
    std::string error;
    EXPECT_TRUE(reader->queryTop(byName, rows, error)) << error;
    EXPECT_TRUE(rows.empty());
  }
  auto writer = open(path, true);
  ASSERT_TRUE(writer);
  StoredFlow added = flow("10.0.0.1", "10.0.0.1", "192.0.2.8", 6, 53, 17, 60, 3000, "new", "u");
  added.owner = makeOwner("new", "u", "HOST", "a.service", "4f1c0a9e2b7d");
  std::string error;
  ASSERT_TRUE(writer->write({added}, error)) << error;
  EXPECT_EQ(listed(*writer, FlowQuery{}), "new/a.service/4f1c0a9e2b7d old// ");
  EXPECT_EQ(listed(*writer, byService), "new/a.service/4f1c0a9e2b7d ");
}

TEST(SqliteStore, ExtremeTimesAndCountsAreHeldAndAnsweredQuickly) {
  Folder dir;
  auto store = open(dir.file("f.sqlite"), true);
  ASSERT_TRUE(store);
  const uint64_t now = currentTimeMillis();
  const uint64_t year9999 = 253402214400000;  // 9999-12-31
  struct Row {
    const char* name;
    uint64_t firstseen, lastseen, count;
  };
  const Row rows[] = {{"zero", 0, 0, 0},
                      {"now", now - 1000, now, 5'000'000'000},
                      {"max", uint64_t(INT64_MAX) - 1, uint64_t(INT64_MAX) - 1, uint64_t(1) << 32},
                      {"above", UINT64_MAX, UINT64_MAX, UINT64_MAX}};
  std::vector<StoredFlow> flows;
  for (const Row& r : rows) {
    StoredFlow f = flow("10.0.0.1", "10.0.0.1", "10.0.0.2", 1, 2, 6, 0, 0, r.name, "u");
    f.firstseen = r.firstseen, f.lastseen = r.lastseen, f.pkts = r.count, f.bytes = r.count;
    flows.push_back(f);
  }
  std::string error;
  ASSERT_TRUE(store->write(flows, error)) << error;
  auto answer = [&](FlowQuery q) {
    std::string names;
    EXPECT_TRUE(store->queryFlows(
        q,
        [&](const StoredFlow& f) {
          names += f.owner->processname + "=" + std::to_string(f.lastseen) + "/" + std::to_string(f.bytes) + " ";
        },
        error))
        << error;
    return names;
  };
  const std::string max = std::to_string(INT64_MAX), below = std::to_string(INT64_MAX - 1);
  FlowQuery all;
  EXPECT_EQ(answer(all), "above=" + max + "/" + max + " max=" + below + "/4294967296 now=" + std::to_string(now) +
                             "/5000000000 zero=0/0 ");
  FlowQuery peer;
  ASSERT_TRUE(parsePeerArgument("10.0.0.2", peer.peerLow, peer.peerHigh));
  EXPECT_EQ(answer(peer), answer(all)) << "the far end's question walks only the minutes that hold records";
  FlowQuery future = peer;
  future.since = year9999;
  EXPECT_EQ(answer(future), "above=" + max + "/" + max + " max=" + below + "/4294967296 ");
  FlowQuery early;
  early.until = 86400000;  // 1970-01-02
  EXPECT_EQ(answer(early), "zero=0/0 ");

  // The half-hour totals hold their sums at 2^63-1 too: "max" and "above"
  // share a half hour, summed once in the batch and again in the table.
  ASSERT_TRUE(store->write(flows, error)) << error;
  store.reset();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(dir.file("f.sqlite").c_str(), &db), SQLITE_OK);
  sqlite3_stmt* st = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT typeof(bytes), bytes, pkts, flows FROM usage_totals WHERE grouping = 4"
                                   " AND exporter = x'00' ORDER BY slot DESC LIMIT 1", -1, &st, nullptr), SQLITE_OK)
      << sqlite3_errmsg(db);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "integer");
  EXPECT_EQ(sqlite3_column_int64(st, 1), INT64_MAX);
  EXPECT_EQ(sqlite3_column_int64(st, 2), INT64_MAX);
  EXPECT_EQ(sqlite3_column_int64(st, 3), 4);
  sqlite3_finalize(st);
  sqlite3_close(db);
}

TEST(SqliteStore, RetentionRemovesOnlyOldRecordsInBatches) {
  Folder dir;
  auto store = open(dir.file("f.sqlite"), true);
  ASSERT_TRUE(store);
  const uint64_t now = currentTimeMillis(), cutoff = now - 30 * 24 * kHour;
  std::vector<StoredFlow> flows;
  for (int i = 0; i < 25; ++i) flows.push_back(flow("10.0.0.1", "10.0.0.1", "192.0.2.1", 1, 2, 6, 1, cutoff - 1 - i, "old", "u"));
  flows.push_back(flow("10.0.0.1", "10.0.0.1", "192.0.2.1", 1, 2, 6, 1, cutoff, "edge", "u"));
  flows.push_back(flow("10.0.0.1", "10.0.0.1", "192.0.2.1", 1, 2, 6, 1, now, "new", "u"));
  std::string error;
  ASSERT_TRUE(store->write(flows, error)) << error;
  std::vector<size_t> batches;
  for (size_t removed = 10; removed == 10;) {
    ASSERT_TRUE(store->prune(cutoff, 10, removed, error)) << error;
    batches.push_back(removed);
  }
  EXPECT_EQ(batches, (std::vector<size_t>{10, 10, 5}));
  std::string left;
  ASSERT_TRUE(store->queryFlows(FlowQuery{}, [&](const StoredFlow& f) { left += f.owner->processname + " "; }, error));
  EXPECT_EQ(left, "new edge ");
}

TEST(SqliteStore, RefusesWhatItCannotUseWithTheReason) {
  Folder dir;
  const std::string corrupt = dir.file("corrupt.sqlite"), foreign = dir.file("foreign.sqlite"),
                    newer = dir.file("newer.sqlite"), empty = dir.file("empty.sqlite"),
                    notFolder = dir.file("plain");
  ASSERT_EQ(system(("printf 'not a database at all, but long enough to have a header.....................' > " +
                    corrupt + " && : > " + notFolder + " && : > " + empty)
                       .c_str()),
            0);
  sql(foreign, "CREATE TABLE contacts (name TEXT);");
  ASSERT_TRUE(open(newer, true));
  sql(newer, "PRAGMA user_version = 4;");

  struct Case {
    std::string path;
    bool forWriting;
    StoreOpenFailure failure;
    std::string message;
  };
  const Case cases[] = {
      {corrupt, true, StoreOpenFailure::notAStore, corrupt + " is not a flow store: file is not a database"},
      {corrupt, false, StoreOpenFailure::notAStore, corrupt + " is not a flow store: file is not a database"},
      {foreign, true, StoreOpenFailure::notAStore, foreign + " is not a flow store: an SQLite database of another kind"},
      {newer, true, StoreOpenFailure::newerSchema,
       newer + " has store version 4, newer than this program's (3): use a newer vantrel-collect"},
      {newer, false, StoreOpenFailure::newerSchema,
       newer + " has store version 4, newer than this program's (3): use a newer vantrel-collect"},
      {empty, false, StoreOpenFailure::notAStore, empty + " is not a flow store: it is empty"},
      {dir.file("missing.sqlite"), false, StoreOpenFailure::cannotOpen,
       "cannot open the store " + dir.file("missing.sqlite") + ": no such file"},
      {notFolder + "/f.sqlite", true, StoreOpenFailure::cannotOpen,
       "cannot open the store " + notFolder + "/f.sqlite: unable to open database file (Not a directory)"},
      {"mysql://localhost:3306/flows", true, StoreOpenFailure::unavailable,
       "no store engine for mysql://localhost:3306/flows in this build (a store is an SQLite file path)"},
  };
  for (const Case& c : cases) {
    StoreOpenFailure failure;
    std::string error;
    EXPECT_FALSE(open(c.path, c.forWriting, &failure, &error)) << c.path;
    EXPECT_EQ(failure, c.failure) << c.path;
    EXPECT_EQ(error, c.message);
  }
  // An empty file opened for writing becomes a store; refused files are untouched.
  EXPECT_TRUE(open(empty, true));
  EXPECT_TRUE(open(empty, false));
  EXPECT_FALSE(open(foreign, true));
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(foreign.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, "SELECT name FROM contacts", nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_NE(sqlite3_exec(db, "SELECT * FROM flows", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
}

}  // namespace

namespace {

// A store written before flows had names: a reader answers from it with
// empty names, a writer adds the columns; then names are kept and asked for.
TEST(SqliteStore, OldStoresTakePeerNames) {
  Folder dir;
  const std::string path = dir.file("old.sqlite");
  sql(path,
      "CREATE TABLE flows (exporter BLOB NOT NULL, obsdomain INTEGER NOT NULL, firstseen INTEGER NOT NULL,"
      " lastseen INTEGER NOT NULL, srcip BLOB NOT NULL, dstip BLOB NOT NULL, srcport INTEGER NOT NULL,"
      " dstport INTEGER NOT NULL, proto INTEGER NOT NULL, tos INTEGER NOT NULL, pkts INTEGER NOT NULL,"
      " bytes INTEGER NOT NULL, flags INTEGER NOT NULL, replydelay INTEGER NOT NULL, inif INTEGER NOT NULL,"
      " outif INTEGER NOT NULL, processname TEXT NOT NULL, user TEXT NOT NULL, domain TEXT NOT NULL);"
      "INSERT INTO flows VALUES (x'0a000001', 0, 1000, 2000, x'0a000001', x'c0000201', 5000, 443, 6, 0, 1, 100, 0, 0,"
      " 0, 1, 'curl', 'alice', 'HOST');"
      "PRAGMA application_id = " + std::to_string(0x5674466C) + "; PRAGMA user_version = 1;");
  std::vector<StoredFlow> got;
  std::string error;
  const auto collect = [&got](const StoredFlow& f) { got.push_back(f); };
  {
    auto reader = open(path, false, nullptr, &error);
    ASSERT_TRUE(reader) << error;
    ASSERT_TRUE(reader->queryFlows(FlowQuery{}, collect, error)) << error;
    ASSERT_EQ(got.size(), 1u);
    EXPECT_FALSE(got[0].peerName);
  }
  auto writer = open(path, true, nullptr, &error);
  ASSERT_TRUE(writer) << error;
  const char* names[][2] = {{"www.example.com", "tls"}, {"example.com", "dns"}, {"notexample.com", "quic"}, {"", ""}};
  std::vector<StoredFlow> batch;
  for (auto& [name, source] : names) {
    StoredFlow f = flow("10.0.0.1", "10.0.0.1", "192.0.2.9", 6000, 443, 6, 1000, 3000, "curl", "alice");
    f.peerName = PeerName::make(name, nameSourceByText(source));
    batch.push_back(f);
  }
  ASSERT_TRUE(writer->write(batch, error)) << error;
  FlowQuery q;
  q.peerName = "example.com";
  got.clear();
  ASSERT_TRUE(writer->queryFlows(q, collect, error)) << error;
  std::vector<std::string> found;
  for (const StoredFlow& f : got) found.push_back(f.peerName.text() + "/" + nameSourceText(f.peerName.source()));
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<std::string>{"example.com/dns", "www.example.com/tls"}));
  q = FlowQuery{};
  q.top = TopKind::names;
  std::vector<TopRow> rows;
  ASSERT_TRUE(writer->queryTop(q, rows, error)) << error;
  EXPECT_EQ(rows.size(), 3u) << "unnamed flows are no name";
}

}  // namespace

namespace {

// Usage over flows of two exporters: each flow in the step of its last-seen
// time, keys as the monitor's history names them, filters and the host.
TEST(SqliteStore, UsageCountsEachFlowInTheStepItWasLastSeen) {
  Folder dir;
  const uint64_t since = 1'800'000'000'000 / 3600000 * 3600000;  // a whole hour
  std::vector<StoredFlow> flows = {
      flow("127.0.0.2", "10.0.0.1", "192.0.2.7", 50000, 443, 6, 5000, since + 30'000, "/usr/bin/curl", "alice"),
      flow("127.0.0.2", "192.0.2.7", "10.0.0.1", 443, 50001, 6, 7000, since + 3 * 60000, "/usr/bin/curl", "alice",
           true),
      flow("127.0.0.3", "10.0.0.2", "198.51.100.9", 40000, 53, 17, 300, since + 59 * 60000 + 59'999, "resolver", "bob"),
      flow("127.0.0.3", "10.0.0.2", "192.0.2.7", 8, 0, 1, 84, since + 10 * 60000, "", ""),
      // Outside the hour: before it, and in the minute after its end.
      flow("127.0.0.3", "10.0.0.2", "192.0.2.7", 40001, 443, 6, 1, since - 1, "/usr/bin/curl", "bob"),
      flow("127.0.0.3", "10.0.0.2", "192.0.2.7", 40002, 443, 6, 1, since + 60 * 60000, "/usr/bin/curl", "bob"),
  };
  flows[1].peerName = PeerName::make("www.example.com", NameSource::kDns);
  {
    auto writer = open(dir.file("f.sqlite"), true);
    ASSERT_TRUE(writer);
    std::string error;
    ASSERT_TRUE(writer->write(flows, error)) << error;
  }
  auto store = open(dir.file("f.sqlite"), false);
  ASSERT_TRUE(store);
  auto ask = [&](UsageQuery q) {
    q.since = since;
    q.until = since + 3600000 - 1;  // the range takes in the whole minute `until` falls in
    q.step = 5 * 60000;
    UsageAnswer a;
    std::string error;
    EXPECT_TRUE(store->queryUsage(q, a, error)) << error;
    std::string text;
    for (size_t i = 0; i < a.top.size(); ++i) {
      text += a.top[i].key + " " + std::to_string(a.top[i].bytes) + "/" + std::to_string(a.top[i].flows) + ":";
      for (size_t s = 0; s < a.series[i].bytes.size(); ++s) {
        if (a.series[i].bytes[s] != 0) text += " " + std::to_string(s) + "=" + std::to_string(a.series[i].bytes[s]);
      }
      text += "\n";
    }
    return text;
  };
  const struct {
    UsageQuery q;
    const char* expected;
  } table[] = {
      {{}, "/usr/bin/curl 12000/2: 0=12000\nresolver 300/1: 11=300\n 84/1: 2=84\n"},
      {{.by = UsageBy::peer}, "www.example.com 7000/1: 0=7000\n192.0.2.7 5084/2: 0=5000 2=84\n198.51.100.9 300/1: 11=300\n"},
      {{.by = UsageBy::port}, "443/tcp 12000/2: 0=12000\n53/udp 300/1: 11=300\nicmp 84/1: 2=84\n"},
      {{.by = UsageBy::user, .limit = 1}, "alice 12000/2: 0=12000\n(other) 384/2: 2=84 11=300\n"},
      {{.process = "curl", .host = "127.0.0.2"}, "/usr/bin/curl 12000/2: 0=12000\n"},
      {{.host = "127.0.0.3"}, "resolver 300/1: 11=300\n 84/1: 2=84\n"},
      {{.peer = "www.example.com"}, "/usr/bin/curl 7000/1: 0=7000\n"},
      {{.by = UsageBy::port, .peer = "192.0.2.7"}, "443/tcp 12000/2: 0=12000\nicmp 84/1: 2=84\n"},
      {{.by = UsageBy::process, .port = 53}, "resolver 300/1: 11=300\n"},
      {{.host = "127.0.0.9"}, ""},
  };
  for (const auto& row : table) EXPECT_EQ(ask(row.q), row.expected) << row.q.host << " " << row.q.peer;

  std::vector<StoreHost> hosts;
  std::string error;
  ASSERT_TRUE(store->listHosts(hosts, error)) << error;
  ASSERT_EQ(hosts.size(), 2u);
  EXPECT_EQ(hosts[0].exporter.text(), "127.0.0.3");  // heard from last
  EXPECT_EQ(hosts[0].records, 4u);
  EXPECT_EQ(hosts[0].lastSeen, since + 60 * 60000);
  EXPECT_EQ(hosts[1].exporter.text(), "127.0.0.2");
  EXPECT_EQ(hosts[1].records, 2u);
}

// The half-hour totals and the flows answer the same: a store written with
// totals against a copy of it without them (as an older store is read), then
// that copy given its totals from its flows when opened for writing.
TEST(SqliteStore, UsageTotalsAnswerAsTheFlowsDoAndAreFilledForAnOlderStore) {
  Folder dir;
  const uint64_t start = 1'800'000'000'000 / 3600000 * 3600000;
  std::mt19937 rng(3);
  const char* exporters[] = {"127.0.0.2", "127.0.0.3", "::1"};
  const char* processes[] = {"/usr/bin/curl", "resolver", "", "backup"};
  const char* peers[] = {"192.0.2.7", "198.51.100.9", "2001:db8::5"};
  std::vector<std::vector<StoredFlow>> batches(3);
  for (int i = 0; i < 600; ++i) {
    const uint64_t lastseen = start + rng() % (5 * kHour);
    const char* peer = peers[rng() % 3];
    const bool v6 = peer[0] == '2';
    const bool inbound = rng() % 2 == 0;
    const uint8_t proto = rng() % 5 == 0 ? 1 : rng() % 3 == 0 ? 17 : 6;
    StoredFlow f = flow(v6 ? "::1" : exporters[rng() % 2], inbound ? peer : v6 ? "2001:db8::1" : "10.0.0.1",
                        inbound ? (v6 ? "2001:db8::1" : "10.0.0.1") : peer, static_cast<uint16_t>(40000 + rng() % 3),
                        static_cast<uint16_t>(rng() % 2 ? 443 : 53), proto, 100 + rng() % 5000, lastseen,
                        processes[rng() % 4], rng() % 2 ? "alice" : "bob", inbound);
    if (rng() % 3 == 0) f.owner = makeOwner(f.owner->processname, f.owner->user, "HOST", "web.service");
    if (rng() % 4 == 0) f.peerName = PeerName::make("www.example.com", NameSource::kDns);
    batches[i % 3].push_back(f);
  }
  const std::string withTotals = dir.file("new.sqlite"), older = dir.file("older.sqlite");
  for (const std::string& path : {withTotals, older}) {
    auto writer = open(path, true);
    ASSERT_TRUE(writer);
    std::string error;
    for (const auto& batch : batches) ASSERT_TRUE(writer->write(batch, error)) << error;
  }
  sql(older, "DROP TABLE usage_totals; PRAGMA user_version = 2;");

  const auto answer = [](const std::string& path, UsageQuery q) {
    auto store = open(path, false);
    EXPECT_TRUE(store);
    UsageAnswer a;
    std::string error, text;
    if (!store || !store->queryUsage(q, a, error)) return "failed: " + error;
    for (size_t i = 0; i < a.top.size(); ++i) {
      const UsageTotal& t = a.top[i];
      text += t.key + " " + std::to_string(t.bytes) + "/" + std::to_string(t.pkts) + "/" + std::to_string(t.flows) + ":";
      for (uint64_t b : a.series[i].bytes) text += " " + std::to_string(b);
      text += "\n";
    }
    return text;
  };
  std::vector<UsageQuery> questions;
  for (UsageBy by : {UsageBy::process, UsageBy::peer, UsageBy::service, UsageBy::port, UsageBy::user}) {
    for (const char* host : {"", "127.0.0.3", "::1"}) {
      // The whole range, one ending in the middle of a half hour (and of a
      // minute), and one shorter than the first half hour.
      for (uint64_t until : {start + 5 * kHour, start + 3 * kHour + 17 * 60000 + 5, start + 20 * 60000}) {
        questions.push_back({.since = start, .until = until, .step = 30 * 60000, .by = by, .limit = 3, .host = host});
      }
    }
  }
  for (const UsageQuery& q : questions) {
    const std::string expected = answer(older, q);
    EXPECT_NE(expected, "");
    EXPECT_EQ(answer(withTotals, q), expected) << int(q.by) << " " << q.host << " " << q.until - start;
  }

  const auto rows = [](const std::string& path) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    std::string text;
    if (sqlite3_prepare_v2(db, "SELECT grouping || hex(exporter) || '.' || slot || '.' || hex(key1) || '.' || hex(key2), bytes,"
                           " pkts, flows "
                           "FROM usage_totals ORDER BY 1", -1, &s, nullptr) == SQLITE_OK) {
      while (sqlite3_step(s) == SQLITE_ROW) {
        for (int c = 0; c < 4; ++c) text += reinterpret_cast<const char*>(sqlite3_column_text(s, c)) + std::string(" ");
        text += "\n";
      }
    }
    sqlite3_finalize(s);
    sqlite3_close(db);
    return text;
  };
  ASSERT_TRUE(open(older, true));
  const std::string filled = rows(older);
  EXPECT_EQ(filled, rows(withTotals));
  EXPECT_GT(std::count(filled.begin(), filled.end(), '\n'), 100);
  for (const UsageQuery& q : questions) EXPECT_EQ(answer(older, q), answer(withTotals, q));

  // Retention takes the half hours that end by its time, for every
  // grouping and exporter.
  auto writer = open(withTotals, true);
  size_t removed = 0;
  std::string error;
  ASSERT_TRUE(writer->prune(start + 2 * kHour + 60000, 1000, removed, error)) << error;
  EXPECT_LT(rows(withTotals).size(), filled.size());
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(withTotals.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* s = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT min(slot) * 1800000, count(DISTINCT grouping) FROM usage_totals", -1, &s,
                               nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
  EXPECT_EQ(uint64_t(sqlite3_column_int64(s, 0)), start + 2 * kHour);
  EXPECT_EQ(sqlite3_column_int(s, 1), 5);
  sqlite3_finalize(s);
  sqlite3_close(db);
}

}  // namespace
