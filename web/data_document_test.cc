#include "web/data_document.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <vector>

#include "flow/flow_table.h"
#include "process/owner_table.h"
#include "runtime/settings.h"
#include "runtime/state.h"
#include "runtime/traffic_history.h"
#include "web/flow_list_text.h"

namespace {

FlowEntry sampleFlow() {
  FlowEntry r = makeFlowRecord(1, 0, 6, 0x0a000001u, 0xc0a80102u, 51000, 443, 60, 0x12, 10, 1000,
                                makeOwner("curl", "alice", "host", "web.service", "4f1c0a9e2b7d"));
  r.pkts = 3;
  r.bytes = -5;
  r.lastseen = 4000;
  r.replydelay = 7;
  r.peer = PeerName::make("www.example.com", NameSource::kTls);
  return r;
}

ProcessEntry sampleProcess(int32_t port) {
  ProcessEntry e;
  e.pid = 42;
  e.port = port;
  e.owner = makeOwner("sshd", "root", "host", "ssh.service");
  e.firstseen = 1000;
  e.lastseen = 2000;
  return e;
}

Json::Value parsed(const std::string& text) {
  Json::Value doc;
  std::string errors;
  std::istringstream in(text);
  EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &doc, &errors)) << errors << text;
  return doc;
}

Json::StreamWriterBuilder compactWriter() {
  Json::StreamWriterBuilder b;
  b["indentation"] = "";
  return b;
}

TEST(FlowToJson, MembersValuesAndAgeFromLastSeen) {
  EXPECT_EQ(Json::writeString(compactWriter(), flowToJson(sampleFlow(), 10000)),
            R"({"age":6000,"bytes":4294967291,"container":"4f1c0a9e2b7d","domain":"host","dstip":"192.168.1.2","dstport":443,)"
            R"("family":4,"firstseen":1000,"flags":18,"inif":1,"lastseen":4000,"namesource":"tls","outif":0,)"
            R"("peername":"www.example.com","pkts":3,"processname":"curl","proto":6,"service":"web.service",)"
            R"("srcip":"10.0.0.1","srcport":51000,"tos":10,"user":"alice"})");
  FlowEntry ownerless = sampleFlow();
  ownerless.owner = nullptr;
  ownerless.lastseen = 5;
  const Json::Value flow = flowToJson(ownerless, 3);
  EXPECT_EQ(flow["processname"], Json::Value(""));
  ownerless.peer = PeerName();
  EXPECT_EQ(flowToJson(ownerless, 3)["namesource"], Json::Value("")) << "an unnamed flow";
  EXPECT_EQ(flow["age"].asUInt64(), uint64_t(3) - uint64_t(5)) << "unsigned 64-bit wrap";
}

TEST(FlowToJson, IPv6EndsAsCompressedLowerCaseText) {
  struct Row {
    uint8_t src[16], dst[16];
    const char* srcText;
    const char* dstText;
  };
  const Row rows[] = {
      {{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0x02, 0x16, 0x3e, 0xff, 0xfe, 0xAB, 0xCD, 0xEF},
       "2001:db8::1", "fe80::216:3eff:feab:cdef"},
      {{}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 0, 0, 1}, "::", "::ffff:10.0.0.1"},
  };
  for (const Row& row : rows) {
    FlowEntry r = sampleFlow();
    r.family = 6;
    r.srcip = r.dstip = 0;
    r.srcip6 = Ip6Address::fromBytes(row.src);
    r.dstip6 = Ip6Address::fromBytes(row.dst);
    const Json::Value flow = flowToJson(r, 10000);
    EXPECT_EQ(flow["family"], 6) << row.srcText;
    EXPECT_EQ(flow["srcip"], row.srcText);
    EXPECT_EQ(flow["dstip"], row.dstText);
    EXPECT_EQ(flow.size(), 22u) << "the IPv4 members and family, nothing else";
  }
}

TEST(ProcessEntryToJson, MembersValuesAndAgeFromFirstSeen) {
  EXPECT_EQ(Json::writeString(compactWriter(), processEntryToJson(sampleProcess(22), 10000)),
            R"({"age":9000,"container":"","domain":"host","firstseen":1000,"lastseen":2000,"name":"sshd","pid":42,)"
            R"("port":22,"service":"ssh.service","user":"root"})");
}

// Shared state set to known values for each test and cleared afterwards.
class DataDocumentTest : public testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }
  static void reset() {
    {
      std::lock_guard<std::mutex> lock(flowTableMutex);
      flowCache.clear();
      toExport.clear();
    }
    {
      std::lock_guard<std::mutex> lock(processTableMutex);
      tcpProcessIDs.clear();
      udpProcessIDs.clear();
    }
    {
      std::lock_guard<std::mutex> lock(interfacesMutex);
      interfacesDiscovered = Json::Value();
    }
    {
      std::lock_guard<std::mutex> lock(settingsMutex);
      settings = Json::Value(Json::objectValue);
      settings["listenerIP"] = "0.0.0.0";
      settings["pass"] = "s3cret";
    }
    snifferPacketCount = 0;
    exportsSent = 0;
    snifferPacketsDropped = 0;
    exportsSkippedIPv6 = 0;
    keepSniffing = false;
    keepSendingExports = true;
    snifferRunning = false;
    exporterRunning = false;
    setCaptureStatus(CaptureState::kStarting);
  }
  static void addFlow(FlowEntry r) {
    std::lock_guard<std::mutex> lock(flowTableMutex);
    insertFlow(keyOf(r), std::move(r));
  }
  static void fillTables() {
    FlowEntry a = sampleFlow();
    FlowEntry b = sampleFlow();
    b.srcport = 51001;
    b.bytes = 2147483647;
    b.pkts = 1;
    addFlow(a);
    addFlow(b);
    std::lock_guard<std::mutex> lock(processTableMutex);
    tcpProcessIDs[22] = sampleProcess(22);
    udpProcessIDs[53] = sampleProcess(53);
    udpProcessIDs[123] = sampleProcess(123);
  }
};

TEST_F(DataDocumentTest, MemberSetWithAndWithoutEachList) {
  fillTables();
  const std::vector<std::string> base = {
      "captureError",    "captureState", "exporterRunning",    "exportsSent", "exportsSkippedIPv6", "flowCache",
      "interfacesDiscovered", "keepSendingExports", "keepSniffing", "nameTableAnswers", "nameTableEvicted",
      "nameTableMalformed", "nameTableNames", "nameTableUnsolicited", "ownerSource", "passIsDefault", "settings",
      "snifferPacketCount", "snifferPacketsDropped", "snifferRunning", "toExport", "totalBytes", "totalFlows", "totalPkts",
      "totalTCPProcesses", "totalUDPProcesses"};
  struct Row {
    const char* requestedData;
    const char* list;  // null: no list member
    size_t length;
  };
  const Row rows[] = {
      {nullptr, nullptr, 0},          {"", nullptr, 0},
      {"flows", "flows", 2},          {"udpProcessIDs", "udpProcessIDs", 2},
      {"tcpProcessIDs", "tcpProcessIDs", 1},
      {"FLOWS", nullptr, 0},          {"Flows", nullptr, 0},
      {"flows ", nullptr, 0},         {"tcpprocessids", nullptr, 0},
  };
  for (const Row& row : rows) {
    const Json::Value doc = parsed(dataDocumentText(buildDataDocument(10000, row.requestedData, [] {})));
    std::vector<std::string> want = base;
    if (row.list) {
      want.push_back(row.list);
      std::sort(want.begin(), want.end());
    }
    EXPECT_EQ(doc.getMemberNames(), want) << "requestedData " << (row.requestedData ? row.requestedData : "absent");
    if (row.list) EXPECT_EQ(doc[row.list].size(), row.length) << row.list;
  }
}

TEST_F(DataDocumentTest, EmptyTableAddsNoMember) {
  for (const char* name : {"flows", "udpProcessIDs", "tcpProcessIDs"}) {
    const Json::Value doc = parsed(dataDocumentText(buildDataDocument(10000, name, [] {})));
    EXPECT_FALSE(doc.isMember(name)) << name;
    EXPECT_EQ(doc.size(), 26u) << name;
  }
}

TEST_F(DataDocumentTest, CountersAndSettingsBeforeTheSettingsStepTotalsAndFlagsAfter) {
  snifferPacketCount = 5;
  exportsSent = 6;
  snifferPacketsDropped = 7;
  exportsSkippedIPv6 = uint64_t(1) << 40;
  nameTableEvicted = uint64_t(1) << 33;
  const Json::Value doc = buildDataDocument(10000, "flows", [] {
    snifferPacketCount = 50;
    exportsSent = 60;
    snifferPacketsDropped = 70;
    exportsSkippedIPv6 = 80;
    setSetting("listenerIP", Json::Value("10.0.0.1"));
    keepSniffing = true;
    snifferRunning = true;
    keepSendingExports = false;
    exporterRunning = true;
    fillTables();
  });
  EXPECT_EQ(doc["flows"].size(), 2u);
  EXPECT_EQ(doc["snifferPacketCount"].asInt(), 5);
  EXPECT_EQ(doc["exportsSent"].asInt(), 6);
  EXPECT_EQ(doc["snifferPacketsDropped"], Json::Value(Json::UInt64(7)));
  EXPECT_EQ(doc["exportsSkippedIPv6"], Json::Value(Json::UInt64(uint64_t(1) << 40)));
  EXPECT_EQ(doc["nameTableEvicted"], Json::Value(Json::UInt64(uint64_t(1) << 33)));
  nameTableEvicted = 0;
  EXPECT_EQ(doc["flowCache"].asUInt64(), 0u);
  EXPECT_EQ(doc["settings"]["listenerIP"], Json::Value("0.0.0.0"));
  EXPECT_EQ(doc["settings"]["pass"], Json::Value("********")) << "the password is not sent on every poll";
  EXPECT_FALSE(doc["settings"].isMember("metricsToken")) << "not made up when absent";
  EXPECT_EQ(doc["passIsDefault"], Json::Value(false));
  setSetting("pass", Json::Value("qolpe"));
  EXPECT_EQ(buildDataDocument(10000, nullptr, [] {})["passIsDefault"], Json::Value(true)) << "the published one";
  for (const auto& [token, shown] : {std::pair{"", ""}, std::pair{"t0ken", "********"}}) {
    setSetting("metricsToken", Json::Value(token));
    EXPECT_EQ(buildDataDocument(10000, nullptr, [] {})["settings"]["metricsToken"], shown) << token;
  }
  EXPECT_EQ(doc["totalFlows"].asUInt64(), 2u);
  EXPECT_EQ(doc["totalBytes"], Json::Value(Json::UInt64(4294967291u + uint64_t{2147483647}))) << "summed whole";
  EXPECT_EQ(doc["totalPkts"], Json::Value(Json::UInt(4)));
  EXPECT_EQ(doc["totalTCPProcesses"].asUInt64(), 1u);
  EXPECT_EQ(doc["totalUDPProcesses"].asUInt64(), 2u);
  EXPECT_TRUE(doc["keepSniffing"].asBool());
  EXPECT_TRUE(doc["snifferRunning"].asBool());
  EXPECT_FALSE(doc["keepSendingExports"].asBool());
  EXPECT_TRUE(doc["exporterRunning"].asBool());
}

TEST_F(DataDocumentTest, TextIsTheDefaultWriterWithOneLineEnd) {
  addFlow(sampleFlow());
  for (const char* requested : {"flows", "none"}) {
    const std::string text = dataDocumentText(buildDataDocument(10000, requested, [] {}));
    EXPECT_EQ(text.rfind("{\n\t\"captureError\" : \"\",\n\t\"captureState\" : \"starting\",\n"
                         "\t\"exporterRunning\" : false,\n\t\"exportsSent\" : 0,\n\t\"exportsSkippedIPv6\" : 0,\n"
                         "\t\"flowCache\" : 1,\n", 0), 0u)
        << text;
    const std::string end = "\n\t\"totalUDPProcesses\" : 0\n}\n";
    EXPECT_EQ(text.substr(text.size() - end.size()), end) << requested;
  }
}

TEST(DataDocumentOwnerSource, NamesTheSourceInUse) {
  for (bool events : {false, true}) {
    ownerEventsRunning = events;
    EXPECT_EQ(buildDataDocument(1, nullptr, [] {})["ownerSource"], events ? "kernel events" : "socket tables");
  }
  ownerEventsRunning = false;
}

TEST_F(DataDocumentTest, OwnerTotalsMergeEqualNamesMostBytesFirst) {
  const OwnerRef curl = makeOwner("curl", "alice", "host", "a.service");
  const OwnerRef sameNames = makeOwner("curl", "alice", "host", "a.service");  // another port of the same process
  const OwnerRef sshd = makeOwner("sshd", "root", "host");
  const OwnerRef otherService = makeOwner("curl", "alice", "host", "b.service");
  const OwnerRef owners[] = {curl, sameNames, sshd, nullptr, nullptr, otherService};
  const int32_t bytes[] = {-1, 10, 5, 3, 4, 6};  // -1: the counter wrapped, 4294967295 bytes
  for (int i = 0; i < 6; ++i) {
    FlowEntry r = makeFlowRecord(0, 1, 17, 0x0a000001u, 0x0a000002u, static_cast<uint16_t>(1000 + i), 53, 60, 0, 0,
                                  1000, owners[i]);
    r.bytes = bytes[i];
    addFlow(r);
  }
  DataRequest request;
  request.requestedData = "ownerTotals";
  request.ownerLimit = 3;
  const Json::Value doc = buildDataDocument(10000, request, [] {});
  EXPECT_EQ(Json::writeString(compactWriter(), doc["ownerTotals"]),
            R"([{"bytes":4294967305,"container":"","domain":"host","flows":2,"pkts":2,"processname":"curl",)"
            R"("service":"a.service","user":"alice"},)"
            R"({"bytes":7,"container":"","domain":"","flows":2,"pkts":2,"processname":"","service":"","user":""},)"
            R"({"bytes":6,"container":"","domain":"host","flows":1,"pkts":1,"processname":"curl",)"
            R"("service":"b.service","user":"alice"}])");
  resetFlowTables();
  EXPECT_FALSE(buildDataDocument(10000, request, [] {}).isMember("ownerTotals")) << "no open flows";
}

TEST_F(DataDocumentTest, SelectedPageCarriesTheMatchedCountLongListsAreHandedOver) {
  fillTables();
  DataRequest request;
  request.requestedData = "flows";
  request.selection.active = true;
  request.selection.sortBy = FlowColumn::bytes;
  request.selection.descending = true;
  request.selection.pageSize = 1;
  Json::Value doc = buildDataDocument(10000, request, [] {});
  ASSERT_EQ(doc["flows"].size(), 1u);
  EXPECT_EQ(doc["flows"][0]["bytes"].asUInt(), 4294967291u) << "the most bytes";
  EXPECT_EQ(doc["flowsMatched"].asUInt64(), 2u);
  request.selection.filter = {"no-such-flow"};
  doc = buildDataDocument(10000, request, [] {});
  EXPECT_FALSE(doc.isMember("flows"));
  EXPECT_EQ(doc["flowsMatched"].asUInt64(), 0u);

  for (uint16_t port = 0; port <= kLongFlowList; ++port) {
    FlowEntry r = sampleFlow();
    r.dstport = port;
    addFlow(r);
  }
  std::vector<FlowEntry> longFlows;
  doc = buildDataDocument(10000, "flows", [] {});
  EXPECT_EQ(doc["flows"].size(), kLongFlowList + 2) << "built in memory when nobody takes it";
  doc = buildDataDocument(10000, DataRequest{"flows"}, [] {}, &longFlows);
  EXPECT_FALSE(doc.isMember("flows"));
  EXPECT_EQ(longFlows.size(), kLongFlowList + 2);
}

TEST_F(DataDocumentTest, UnusableListArgumentsAreIgnoredWithOneLine) {
  const std::pair<std::string, const char*> rows[] = {
      {"ownerTotals ownerLimit 0", "ownerLimit 0 is not a whole number from 1; ignored\n"},
      {"history historySince 1e12", "historySince 1e12 is not a time in milliseconds since 1970; ignored\n"},
      {"history historySince 1700000000000", ""},
      {"flows ownerLimit x", ""},
  };
  for (const auto& [request, console] : rows) {
    std::istringstream in(request);
    std::string requested, name, value;
    in >> requested >> name >> value;
    testing::internal::CaptureStdout();
    readDataRequest([&](const char* n) { return n == std::string("requestedData") ? requested.c_str() : n == name ? value.c_str() : nullptr; });
    EXPECT_EQ(testing::internal::GetCapturedStdout(), console) << request;
  }
}

TEST_F(DataDocumentTest, HistoryAsThreeArraysOfSeconds) {
  resetTrafficHistory();
  recordTraffic(1700000001500, 100, 3);
  DataRequest request;
  request.requestedData = "history";
  EXPECT_EQ(Json::writeString(compactWriter(), buildDataDocument(1700000003000, request, [] {})["history"]),
            R"({"bytes":[100,0],"flows":[3,3],"pkts":[1,0],"start":1700000001000})");
  request.historySince = 1700000009000;
  EXPECT_EQ(Json::writeString(compactWriter(), buildDataDocument(1700000003000, request, [] {})["history"]),
            R"({"bytes":[],"flows":[],"pkts":[],"start":1700000003000})");
  resetTrafficHistory();
}

}  // namespace
