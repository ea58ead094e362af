// vantrel-collect with a store: datagrams of two exporters on 127.0.0.1 and
// 127.0.0.2, native and IPFIX, land in a real SQLite file with their
// exporter, owners and counters; the query command answers from it;
// retention, a full queue and files it cannot use.
#include <arpa/inet.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "export/datagram_builder.h"
#include "platform/clock.h"
#include "tests/support/system_test.h"

#include <gmock/gmock.h>

namespace {

using std::chrono::milliseconds;
constexpr uint64_t kDay = 86400000;

// Sends `records` from a socket bound to `from` to the collector on
// 127.0.0.1:`port`, as datagrams of `format`.
template <typename Record>
void sendRecords(const char* from, uint16_t port, const std::vector<Record>& records, ExportFormat format) {
  const int fd = boundSocket(SOCK_DGRAM, from);
  ASSERT_GE(fd, 0) << from;
  const sockaddr_in to = endpoint("127.0.0.1", port);
  DatagramBuilder builder(
      [&](const uint8_t* data, size_t size) {
        usleep(200);  // no faster than the collector's socket takes them
        return int64_t(sendto(fd, data, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to));
      },
      format);
  for (const Record& r : records) builder.add(r, currentTimeMillis());
  builder.sendPending();
  close(fd);
}

// `n` TCP flows of client.exe from 10.1.0.x, last seen `age` ms ago.
std::vector<FlowRecord> flows(size_t n, uint64_t age, const char* user) {
  std::vector<FlowRecord> out;
  const uint64_t t = currentTimeMillis() - age;
  for (size_t i = 0; i < n; ++i) {
    FlowRecord r = makeFlowRecord(0, 1, 6, 0x0A010000 + uint32_t(i % 200), 0xC0000207, uint16_t(40000 + i), 443,
                                  1000, 0x1B, 46, t - 2000, makeOwner("C:/Tools/client.exe", user, "HOST1"));
    r.lastseen = t, r.pkts = 10, r.replydelay = 35;
    out.push_back(r);
  }
  return out;
}

// Ends the collector with SIGTERM; its exit status, -1 when it hung.
int stop(CollectorProcess& collector) {
  collector.child.signal(SIGTERM);
  const int status = collector.child.wait(milliseconds(20000));
  return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// `vantrel-collect query ARGS`: its exit status, standard output in `out`.
int query(const std::string& args, std::string* out = nullptr) {
  return runCommand(binaryPath("vantrel-collect") + " query " + args + " 2>&1", out);
}

TEST(CollectorStore, TwoExportersLandWithOwnersAndCountersQueryAnswersRetentionKeepsNewOnes) {
  TempDir dir;
  const std::string file = dir.file("flows.sqlite");
  CollectorProcess collector;
  ASSERT_TRUE(collector.start(dir, "127.0.0.1:0", "", {"--store", file, "--keep", "0"})) << collector.child.output();
  EXPECT_THAT(collector.child.output(), testing::HasSubstr("vantrel-collect: storing flows in SQLite file " + file +
                                                           " (0 records)\n"));
  sendRecords("127.0.0.1", collector.port, flows(300, 60000, "alice"), ExportFormat::native);
  sendRecords("127.0.0.2", collector.port, flows(200, 60000, "bob"), ExportFormat::ipfix);
  sendRecords("127.0.0.2", collector.port, flows(40, 40 * kDay, "old"), ExportFormat::native);
  // Whatever is still queued when the stop comes is stored before the end.
  ASSERT_EQ(stop(collector), 0) << collector.child.output();
  EXPECT_THAT(collector.child.output(), testing::HasSubstr("vantrel-collect: stopped: 540 records stored, 0 dropped\n"));
  EXPECT_EQ(collector.lines().size(), 0u) << "records are not printed unless --format asks for them";

  std::string out;
  ASSERT_EQ(query("--store " + file + " --top hosts --format csv", &out), 0) << out;
  EXPECT_EQ(out, "host,bytes,pkts,flows\n127.0.0.1,300000,3000,300\n127.0.0.2,240000,2400,240\n");
  ASSERT_EQ(query("--store " + file + " --host 127.0.0.2 --user bob --since 1h --format json --limit 0", &out), 0);
  size_t count = 0;
  for (size_t at = 0; (at = out.find('\n', at)) != std::string::npos; ++at) ++count;
  EXPECT_EQ(count, 200u) << out.substr(0, 500);
  const Json::Value first = parseJson(out.substr(0, out.find('\n')));
  EXPECT_EQ(first["exporter"], "127.0.0.2");
  EXPECT_EQ(first["processname"], "C:/Tools/client.exe");
  EXPECT_EQ(first["domain"], "HOST1");
  EXPECT_EQ(first["dstip"], "192.0.2.7");
  EXPECT_EQ(first["dstport"], 443);
  EXPECT_EQ(first["bytes"], 1000);
  EXPECT_EQ(first["pkts"], 10);
  EXPECT_EQ(first["tos"], 46);
  EXPECT_EQ(first["lastseen"].asUInt64() - first["firstseen"].asUInt64(), 2000u);
  ASSERT_EQ(query("--store " + file + " --peer 192.0.2.0/24 --port 443 --since 1d --top processes", &out), 0);
  EXPECT_EQ(out,
            "PROCESS                                 BYTES           PACKETS      FLOWS\n"
            "C:/Tools/client.exe                     500000          5000         500\n");

  // Started again with the default 30 days: the 40-day-old records go, in
  // small batches, the others stay.
  TempDir logs;  // a log of its own
  CollectorProcess again;
  ASSERT_TRUE(again.start(logs, "127.0.0.1:0", "", {"--store", file})) << again.child.output();
  EXPECT_THAT(again.child.output(), testing::HasSubstr("SQLite file " + file + " (540 records)\n"));
  EXPECT_TRUE(waitFor([&] { return query("--store " + file + " --user old --limit 0 --format csv", &out) == 0 &&
                                   countOf(out, "\n") == 1; },
                      milliseconds(5000)))
      << out;
  ASSERT_EQ(stop(again), 0) << again.child.output();
  ASSERT_EQ(query("--store " + file + " --top hosts --format csv", &out), 0);
  EXPECT_EQ(out, "host,bytes,pkts,flows\n127.0.0.1,300000,3000,300\n127.0.0.2,200000,2000,200\n");
}

// IPv6 flows come by IPFIX only: they land with their IPv6 ends, and the
// query finds them by an IPv6 prefix beside the IPv4 ones.
TEST(CollectorStore, Ipv6FlowsByIpfixLandWithTheirEnds) {
  TempDir dir;
  const std::string file = dir.file("flows.sqlite");
  CollectorProcess collector;
  ASSERT_TRUE(collector.start(dir, "127.0.0.1:0", "", {"--store", file})) << collector.child.output();
  const auto address6 = [](const char* text) {
    uint8_t bytes[16] = {};
    inet_pton(AF_INET6, text, bytes);
    return Ip6Address::fromBytes(bytes);
  };
  const Ip6Address local = address6("2001:db8::1"), peer = address6("2001:db8:ff::5");
  std::vector<FlowEntry> records;
  const uint64_t t = currentTimeMillis() - 5000;
  for (uint16_t i = 0; i < 30; ++i) {
    records.push_back(makeFlowEntry6(0, 1, 6, local, peer, uint16_t(41000 + i), 22, 700, 0x1B, 10, 0x12345, t,
                                     makeOwner("/usr/bin/ssh", "carol", "HOST6")));
  }
  const std::vector<FlowRecord> v4 = flows(20, 5000, "alice");
  records.insert(records.end(), v4.begin(), v4.end());
  sendRecords("127.0.0.1", collector.port, records, ExportFormat::ipfix);
  ASSERT_EQ(stop(collector), 0) << collector.child.output();
  EXPECT_THAT(collector.child.output(), testing::HasSubstr("stopped: 50 records stored, 0 dropped\n"));

  std::string out;
  ASSERT_EQ(query("--store " + file + " --peer 2001:db8:ff::/48 --limit 0 --format json", &out), 0) << out;
  EXPECT_EQ(countOf(out, "\n"), 30u) << out.substr(0, 500);
  const Json::Value first = parseJson(out.substr(0, out.find('\n')));
  EXPECT_EQ(first["srcip"], "2001:db8::1");
  EXPECT_EQ(first["dstip"], "2001:db8:ff::5");
  EXPECT_EQ(first["dstport"], 22);
  EXPECT_EQ(first["bytes"], 700);
  EXPECT_EQ(first["user"], "carol");
  EXPECT_EQ(first["exporter"], "127.0.0.1");
  ASSERT_EQ(query("--store " + file + " --top peers --format csv", &out), 0) << out;
  EXPECT_THAT(out, testing::HasSubstr("\n2001:db8:ff::5,21000,30,30\n"));
  EXPECT_THAT(out, testing::HasSubstr("\n192.0.2.7,20000,200,20\n"));
}

// Peer names come by IPFIX, are stored, and answer --peer-name and --top names.
TEST(CollectorStore, PeerNamesLandAndAnswerTheirQueries) {
  TempDir dir;
  const std::string file = dir.file("flows.sqlite");
  CollectorProcess collector;
  ASSERT_TRUE(collector.start(dir, "127.0.0.1:0", "", {"--store", file})) << collector.child.output();
  std::vector<FlowRecord> records = flows(9, 5000, "alice");
  const char* const names[] = {"www.example.com", "example.com", "notexample.com"};
  for (size_t i = 0; i < records.size(); ++i) {
    records[i].peer = PeerName::make(names[i % 3], i % 2 ? NameSource::kDns : NameSource::kTls);
  }
  sendRecords("127.0.0.1", collector.port, records, ExportFormat::ipfix);
  ASSERT_EQ(stop(collector), 0) << collector.child.output();

  std::string out;
  ASSERT_EQ(query("--store " + file + " --peer-name EXAMPLE.com --limit 0 --format json", &out), 0) << out;
  EXPECT_EQ(countOf(out, "\n"), 6u) << out;
  EXPECT_EQ(countOf(out, "notexample"), 0u) << out;
  const Json::Value first = parseJson(out.substr(0, out.find('\n')));
  EXPECT_TRUE(first["namesource"] == "dns" || first["namesource"] == "tls") << out;
  ASSERT_EQ(query("--store " + file + " --top names --format csv", &out), 0) << out;
  EXPECT_EQ(countOf(out, "\n"), 4u) << "a header and three names\n" << out;
  EXPECT_THAT(out, testing::HasSubstr("\n\"notexample.com\","));
}

TEST(CollectorStore, AFullQueueCountsDropsWhileTheFileIsLockedAndLosesNothingElse) {
  TempDir dir;
  const std::string file = dir.file("flows.sqlite");
  CollectorProcess collector;
  ASSERT_TRUE(collector.start(dir, "127.0.0.1:0", "", {"--store", file, "--queue", "50"}))
      << collector.child.output();
  // Another program holds the write lock, so the writer waits.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 5000);
  ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  sendRecords("127.0.0.1", collector.port, flows(200, 1000, "alice"), ExportFormat::native);
  EXPECT_TRUE(waitFor([&] { return collector.child.output().find("cannot write to the store: database is locked") !=
                                   std::string::npos; },
                      milliseconds(10000)))
      << collector.child.output();
  sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  EXPECT_TRUE(waitFor([&] { return collector.child.output().find("writing to the store again") != std::string::npos; },
                      milliseconds(10000)));
  ASSERT_EQ(stop(collector), 0) << collector.child.output();
  const std::string out = collector.child.output();
  const size_t at = out.find("vantrel-collect: stopped: ");
  ASSERT_NE(at, std::string::npos) << out;
  unsigned stored = 0, dropped = 0;
  ASSERT_EQ(sscanf(out.c_str() + at, "vantrel-collect: stopped: %u records stored, %u dropped (queue full)", &stored,
                   &dropped),
            2)
      << out.substr(at);
  EXPECT_EQ(stored + dropped, 200u);
  EXPECT_GE(dropped, 100u);
  std::string csv;
  ASSERT_EQ(query("--store " + file + " --limit 0 --format csv", &csv), 0);
  EXPECT_EQ(countOf(csv, "\n"), stored + 1);
}

TEST(CollectorStore, FilesAndArgumentsItCannotUseGiveAMessageAndTheirStatus) {
  TempDir dir;
  const std::string collect = binaryPath("vantrel-collect") + " --listen 127.0.0.1:0 ";
  writeFile(dir.file("plain"), "");
  writeFile(dir.file("corrupt.sqlite"), std::string(4096, 'x'));
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(dir.file("foreign.sqlite").c_str(), &db), SQLITE_OK);
  sqlite3_exec(db, "CREATE TABLE notes (t TEXT)", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  {
    CollectorProcess made;  // a store of ours, then marked as a later version
    ASSERT_TRUE(made.start(dir, "127.0.0.1:0", "", {"--store", dir.file("newer.sqlite")}));
    ASSERT_EQ(stop(made), 0);
    ASSERT_EQ(sqlite3_open(dir.file("newer.sqlite").c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "PRAGMA user_version = 9", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  struct Case {
    std::string command;
    int status;
    std::string message;
  };
  const Case cases[] = {
      {collect + "--store " + dir.file("plain/f.sqlite"), 3,
       "vantrel-collect: cannot open the store " + dir.file("plain/f.sqlite") +
           ": unable to open database file (Not a directory)\n"},
      {collect + "--store " + dir.file("corrupt.sqlite"), 3,
       "vantrel-collect: " + dir.file("corrupt.sqlite") + " is not a flow store: file is not a database\n"},
      {collect + "--store " + dir.file("foreign.sqlite"), 3,
       "vantrel-collect: " + dir.file("foreign.sqlite") + " is not a flow store: an SQLite database of another kind\n"},
      {collect + "--store " + dir.file("newer.sqlite"), 3,
       "vantrel-collect: " + dir.file("newer.sqlite") +
           " has store version 9, newer than this program's (3): use a newer vantrel-collect\n"},
      {collect + "--store x.sqlite --keep soon", 2, "vantrel-collect: bad argument '--keep soon'\n"},
      {collect + "--store x.sqlite --queue 0", 2, "vantrel-collect: bad argument '--queue 0'\n"},
      {binaryPath("vantrel-collect") + " query --store " + dir.file("newer.sqlite"), 3,
       "vantrel-collect query: " + dir.file("newer.sqlite") +
           " has store version 9, newer than this program's (3): use a newer vantrel-collect\n"},
      {binaryPath("vantrel-collect") + " query --store " + dir.file("missing.sqlite"), 3,
       "vantrel-collect query: cannot open the store " + dir.file("missing.sqlite") + ": no such file\n"},
      {binaryPath("vantrel-collect") + " query --store f --port http", 2,
       "vantrel-collect query: bad argument '--port http': not a port number\n"},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(runCommand(c.command + " 2>&1", &out), c.status) << c.command;
    EXPECT_EQ(out.substr(0, c.message.size()), c.message) << c.command;
  }
  // Nothing was made where nothing could be used.
  EXPECT_EQ(readFile(dir.file("corrupt.sqlite")), std::string(4096, 'x'));
  EXPECT_EQ(runCommand("test -e " + dir.file("missing.sqlite")), 1);
}

}  // namespace

namespace {

// Digest credentials of the collector's web view in the tests below.
const std::vector<std::string> kWebArguments = {"--web",      "127.0.0.1:0", "--web-user",
                                                "admin",      "--web-pass",  "s3cret",
                                                "--web-root", std::string(VANTREL_SOURCE_DIR) + "/resources/web"};

// The totals of one `usage` answer as "key bytes flows" lines, and whether
// each series adds up to its total.
std::string usageLines(const Json::Value& usage) {
  std::string text;
  for (Json::ArrayIndex i = 0; i < usage["top"].size(); ++i) {
    const Json::Value& t = usage["top"][i];
    uint64_t sum = 0;
    for (const Json::Value& b : usage["series"][i]["bytes"]) sum += b.asUInt64();
    text += t["key"].asString() + " " + std::to_string(t["bytes"].asUInt64()) + " " +
            std::to_string(t["flows"].asUInt64()) + (sum == t["bytes"].asUInt64() ? "" : " (series differ)") + "\n";
  }
  return text;
}

}  // namespace

// The web view of the collector's file: the records of two exporters give
// the host list and `usage` per host; the page comes from the web folder;
// no answer without the right password.
TEST(CollectorStore, WebViewAnswersUsagePerHostBehindDigest) {
  TempDir dir;
  const std::string file = dir.file("flows.sqlite");
  std::vector<std::string> args = {"--store", file};
  args.insert(args.end(), kWebArguments.begin(), kWebArguments.end());
  CollectorProcess collector;
  ASSERT_TRUE(collector.start(dir, "127.0.0.1:0", "", args)) << collector.child.output();
  const uint16_t web = collectorWebPort(collector.child);
  ASSERT_NE(web, 0) << collector.child.output();
  sendRecords("127.0.0.2", collector.port, flows(30, 120000, "alice"), ExportFormat::native);
  std::vector<FlowRecord> backup = flows(20, 60000, "bob");
  for (FlowRecord& r : backup) r.owner = makeOwner("/usr/bin/backup", "bob", "HOST2");
  sendRecords("127.0.0.3", collector.port, backup, ExportFormat::ipfix);

  std::string body;
  ASSERT_TRUE(waitFor([&] {
    return digestGet(web, "/data/?requestedData=hosts", "admin:s3cret", &body) == 200 &&
           countOf(body, "\"records\":30") + countOf(body, "\"records\":20") == 2;
  }, milliseconds(10000))) << body;
  const Json::Value hosts = parseJson(body)["hosts"];
  ASSERT_EQ(hosts.size(), 2u);
  EXPECT_EQ(hosts[0]["host"], "127.0.0.3");  // heard from last
  EXPECT_EQ(hosts[1]["host"], "127.0.0.2");

  const struct {
    const char* target;
    const char* expected;
  } questions[] = {
      {"&host=127.0.0.2", "C:/Tools/client.exe 30000 30\n"},
      {"&host=127.0.0.3", "/usr/bin/backup 20000 20\n"},
      {"", "C:/Tools/client.exe 30000 30\n/usr/bin/backup 20000 20\n"},
      {"&by=user&limit=1", "alice 30000 30\n(other) 20000 20\n"},
      {"&by=port&host=127.0.0.3", "443/tcp 20000 20\n"},
      {"&by=peer&process=backup", "192.0.2.7 20000 20\n"},
  };
  for (const auto& q : questions) {
    ASSERT_EQ(digestGet(web, std::string("/data/?requestedData=usage") + q.target, "admin:s3cret", &body), 200);
    EXPECT_EQ(usageLines(parseJson(body)["usage"]), q.expected) << q.target;
  }
  EXPECT_EQ(digestGet(web, "/", "admin:s3cret", &body), 200);
  EXPECT_THAT(body, testing::HasSubstr("id=\"f-host\""));
  EXPECT_EQ(digestGet(web, "/data/?requestedData=hosts", "admin:wrong", &body), 401);
  EXPECT_EQ(digestGet(web, "/fleet.html", "other:s3cret", &body), 401);
  ASSERT_EQ(stop(collector), 0) << collector.child.output();

  // Never served without a password.
  TempDir logs;
  CollectorProcess open;
  EXPECT_FALSE(open.start(logs, "127.0.0.1:0", "", {"--store", file, "--web", "127.0.0.1:0", "--web-user", "admin"}));
  EXPECT_THAT(open.child.output(), testing::HasSubstr("vantrel-collect: --web needs --store, --web-user and --web-pass\n"));
}
