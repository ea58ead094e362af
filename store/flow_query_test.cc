#include "store/flow_query.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <sstream>

namespace {

constexpr uint64_t kNow = 1796644800000;  // 2026-12-07 12:00:00 UTC

TEST(QueryArguments, ReadsEveryOptionAndNamesTheOneItCannotRead) {
  QueryCommand c;
  ASSERT_TRUE(parseQueryArguments({"--store", "f.sqlite", "--since", "1h", "--until=2026-12-07T11:30", "--host",
                                   "10.0.0.1", "--process", "client.exe", "--user", "alice", "--service", "web.service",
                                   "--container=4f1c0a9e2b7d", "--peer",
                                   "192.0.2.0/24", "--port", "443", "--top", "processes", "--format", "csv"},
                                  kNow, c))
      << c.error;
  EXPECT_EQ(c.store, "f.sqlite");
  EXPECT_EQ(c.query.since, kNow - 3600000);
  EXPECT_EQ(c.query.until, kNow - 1800000);
  EXPECT_EQ(c.query.host.text(), "10.0.0.1");
  EXPECT_EQ(c.query.process, "client.exe");
  EXPECT_EQ(c.query.user, "alice");
  EXPECT_EQ(c.query.service, "web.service");
  EXPECT_EQ(c.query.container, "4f1c0a9e2b7d");
  EXPECT_EQ(c.query.peerLow.text() + "-" + c.query.peerHigh.text(), "192.0.2.0-192.0.2.255");
  EXPECT_EQ(c.query.port, 443);
  EXPECT_EQ(c.query.top, TopKind::processes);
  EXPECT_EQ(c.query.limit, 10u);  // top rows by default
  EXPECT_EQ(c.format, QueryFormat::csv);

  QueryCommand flows;
  ASSERT_TRUE(parseQueryArguments({"--store=f"}, kNow, flows));
  EXPECT_EQ(flows.query.limit, 1000u);
  EXPECT_EQ(flows.query.since, 0u);
  EXPECT_EQ(flows.query.until, UINT64_MAX);

  const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
      {{"--store", "f", "--since", "1x"}, "bad argument '--since 1x': not a time"},
      {{"--store", "f", "--until=2026-02-30"}, "bad argument '--until=2026-02-30': not a time"},
      {{"--store", "f", "--host", "10.0.0.256"}, "bad argument '--host 10.0.0.256': not an IPv4 or IPv6 address"},
      {{"--store", "f", "--peer", "10.0.0.0/33"}, "bad argument '--peer 10.0.0.0/33': not an address or prefix"},
      {{"--store", "f", "--port", "65536"}, "bad argument '--port 65536': not a port number"},
      {{"--store", "f", "--top", "users"}, "bad argument '--top users': not hosts, processes, services, peers, names or ports"},
      {{"--store", "f", "--format", "xml"}, "bad argument '--format xml': not table, json or csv"},
      {{"--store", "f", "--limit", "-1"}, "bad argument '--limit -1': not a number"},
      {{"--store", "f", "--process="}, "bad argument '--process=': empty"},
      {{"--store", "f", "--colour"}, "bad argument '--colour': unknown option"},
      {{"--store", "f", "--since"}, "bad argument '--since': needs a value"},
      {{"stray"}, "bad argument 'stray': unknown option"},
      {{"--since", "1h"}, "--store FILE is missing"},
  };
  for (const auto& [args, error] : bad) {
    QueryCommand b;
    EXPECT_FALSE(parseQueryArguments(args, kNow, b)) << error;
    EXPECT_EQ(b.error, error);
  }
}

TEST(QueryArguments, TimesAndPrefixes) {
  const std::vector<std::pair<std::string, uint64_t>> times = {
      {"90s", kNow - 90000},
      {"30m", kNow - 1800000},
      {"2d", kNow - 2 * 86400000ull},
      {"1w", kNow - 7 * 86400000ull},
      {"2026-12-07", kNow - 12 * 3600000ull},
      {"2026-12-07T12:00", kNow},
      {"2026-12-07 12:00:01Z", kNow + 1000},
      {"2024-02-29", 1709164800000},  // a leap day
      {"1970-01-01", 0},
      {"999999w", 0},  // before 1970: the start
  };
  for (const auto& [text, expected] : times) {
    uint64_t ms = 1;
    EXPECT_TRUE(parseTimeArgument(text, kNow, ms)) << text;
    EXPECT_EQ(ms, expected) << text;
  }
  for (const char* badTime : {"", "h", "1", "1.5h", "-1h", "2025-02-29", "2026-13-01", "2026-12-7", "2026-12-07T24:00",
                              "2026-12-07T12", "2026-12-07T12:00:60", "1969-12-31", "yesterday"}) {
    uint64_t ms = 0;
    EXPECT_FALSE(parseTimeArgument(badTime, kNow, ms)) << badTime;
  }
  EXPECT_EQ(utcText(kNow + 59999), "2026-12-07 12:00:59");
  EXPECT_EQ(utcText(1709164800000), "2024-02-29 00:00:00");

  const std::vector<std::pair<std::string, std::string>> prefixes = {
      {"10.1.2.3", "10.1.2.3-10.1.2.3"},
      {"10.1.2.3/32", "10.1.2.3-10.1.2.3"},
      {"10.1.2.3/16", "10.1.0.0-10.1.255.255"},
      {"10.1.2.3/12", "10.0.0.0-10.15.255.255"},
      {"10.1.2.3/0", "0.0.0.0-255.255.255.255"},
      {"2001:db8::5/32", "2001:db8::-2001:db8:ffff:ffff:ffff:ffff:ffff:ffff"},
      {"::ffff:192.0.2.1/24", "192.0.2.0-192.0.2.255"},  // mapped: stored as IPv4
  };
  for (const auto& [text, range] : prefixes) {
    StoreAddress low, high;
    EXPECT_TRUE(parsePeerArgument(text, low, high)) << text;
    EXPECT_EQ(low.text() + "-" + high.text(), range);
  }
  for (const char* badPrefix : {"10.1.2.3/", "10.1.2.3/33", "2001:db8::/129", "10.1.2/8", "host.example", "/8"}) {
    StoreAddress low, high;
    EXPECT_FALSE(parsePeerArgument(badPrefix, low, high)) << badPrefix;
  }
}

TEST(QueryAnswer, OneFlowAndOneTopRowInEachFormat) {
  StoredFlow f;
  parseStoreAddress("10.0.0.1", f.exporter);
  parseStoreAddress("10.0.0.1", f.srcip);
  parseStoreAddress("2001:db8::7", f.dstip);
  f.srcport = 50000, f.dstport = 443, f.proto = 6, f.pkts = 12, f.bytes = 4200, f.outif = 1;
  f.firstseen = kNow - 1500, f.lastseen = kNow;
  f.owner = makeOwner("C:/Tools/cli\"ent.exe", "alice", "HOST1", "web.service", "4f1c0a9e2b7d");
  f.peerName = PeerName::make("www.example.com", NameSource::kTls);
  std::string json, csv, table;
  appendFlowAnswer(f, QueryFormat::json, json);
  appendFlowAnswer(f, QueryFormat::csv, csv);
  appendFlowAnswer(f, QueryFormat::table, table);
  EXPECT_EQ(json,
            "{\"bytes\":4200,\"container\":\"4f1c0a9e2b7d\",\"domain\":\"HOST1\",\"dstip\":\"2001:db8::7\",\"dstport\":443,\"exporter\":\"10.0.0.1\","
            "\"firstseen\":1796644798500,\"flags\":0,\"inif\":0,\"lastseen\":1796644800000,\"namesource\":\"tls\","
            "\"obsdomain\":0,\"outif\":1,\"peername\":\"www.example.com\",\"pkts\":12,\"processname\":\"C:/Tools/cli\\\"ent.exe\",\"proto\":6,\"replydelay\":0,"
            "\"service\":\"web.service\",\"srcip\":\"10.0.0.1\",\"srcport\":50000,\"tos\":0,\"user\":\"alice\"}\n");
  EXPECT_EQ(flowsHeader(QueryFormat::csv),
            "exporter,obsdomain,firstseen,lastseen,srcip,dstip,srcport,dstport,proto,tos,pkts,bytes,flags,"
            "replydelay,inif,outif,processname,user,domain,peername,namesource,service,container\n");
  EXPECT_EQ(csv, "10.0.0.1,0,1796644798500,1796644800000,10.0.0.1,2001:db8::7,50000,443,6,0,12,4200,0,0,0,1,"
                 "\"C:/Tools/cli\"\"ent.exe\",\"alice\",\"HOST1\",\"www.example.com\",tls,\"web.service\",\"4f1c0a9e2b7d\"\n");
  EXPECT_EQ(table, "2026-12-07 12:00:00 10.0.0.1        tcp   10.0.0.1:50000        [2001:db8::7]:443     "
                   "www.example.com               12       4200       alice       C:/Tools/cli\"ent.exe\n");

  const std::vector<TopRow> rows = {{"", 443, 6, 5000, 40, 2}};
  EXPECT_EQ(topAnswer(rows, TopKind::ports, QueryFormat::json), "{\"bytes\":5000,\"flows\":2,\"pkts\":40,\"port\":443,\"proto\":6}\n");
  EXPECT_EQ(topAnswer(rows, TopKind::ports, QueryFormat::csv), "port,proto,bytes,pkts,flows\n443,6,5000,40,2\n");
  const std::vector<TopRow> names = {{"", 0, 0, 84, 1, 1}};
  EXPECT_EQ(topAnswer(names, TopKind::processes, QueryFormat::table),
            "PROCESS                                 BYTES           PACKETS      FLOWS\n"
            "-                                       84              1            1\n");
}

TEST(QueryAnswer, HostileNamesStayInTheirCellAndCountsStayWhole) {
  struct Case {
    std::string name;
    const char* table;  // the process and peer name columns in table output
    const char* csv;    // the process cell
    std::string json;   // the process member, parsed back
  };
  const Case cases[] = {
      {"two\nlines", "two\\nlines", "\"two\nlines\"", "two\nlines"},
      {"back\rover", "back\\rover", "\"back\rover\"", "back\rover"},
      {"\x1b]0;pwned\x07\x1b[2J", "\\x1b]0;pwned\\x07\\x1b[2J", "\"\x1b]0;pwned\x07\x1b[2J\"",
       "\x1b]0;pwned\x07\x1b[2J"},
      {std::string("nul\0byte", 8), "nul\\x00byte", "\"nul", std::string("nul\0byte", 8)},
      {"=cmd|' /C calc'!A0", "=cmd|' /C calc'!A0", "\"'=cmd|' /C calc'!A0\"", "=cmd|' /C calc'!A0"},
      {"bad\xc3\"q", "bad\xEF\xBF\xBD\"q", "\"bad\xc3\"\"q\"", "bad\xEF\xBF\xBD\"q"},
  };
  for (const Case& c : cases) {
    StoredFlow f;
    parseStoreAddress("10.0.0.1", f.exporter);
    f.pkts = uint64_t(1) << 32, f.bytes = 5'000'000'000;
    f.owner = makeOwner(c.name, "u", "d");
    f.peerName = PeerName::make(c.name, NameSource::kTls);
    std::string table, csv, json;
    appendFlowAnswer(f, QueryFormat::table, table);
    appendFlowAnswer(f, QueryFormat::csv, csv);
    appendFlowAnswer(f, QueryFormat::json, json);
    EXPECT_EQ(table.find('\n'), table.size() - 1) << c.table;
    EXPECT_NE(table.find(std::string(c.table) + "\n"), std::string::npos) << table;
    EXPECT_NE(table.find(std::string(" ") + c.table + " "), std::string::npos) << "the peer name column: " << table;
    EXPECT_NE(table.find("4294967296 5000000000"), std::string::npos) << table;
    EXPECT_NE(csv.find(std::string(",4294967296,5000000000,0,0,0,0,") + c.csv), std::string::npos) << csv;
    Json::Value parsed;
    std::istringstream in(json);
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &parsed, nullptr)) << json;
    EXPECT_EQ(parsed["processname"].asString(), c.json) << json;
    EXPECT_EQ(parsed["bytes"].asUInt64(), 5'000'000'000u);
  }
}

}  // namespace
