#include "export/collector_output.h"

#include <gtest/gtest.h>

#include <sstream>

#include "export/sample_records.h"

namespace {

const char* const kSampleJsonLine =
    "{\"bytes\":4200,\"domain\":\"HOST1\",\"dstip\":\"203.0.113.5\",\"dstport\":443,\"firstseen\":1700000000000,"
    "\"flags\":27,\"inif\":0,\"lastseen\":1700000001500,\"outif\":1,\"pkts\":12,"
    "\"processname\":\"C:/Tools/client.exe\",\"proto\":6,\"replydelay\":35,\"srcip\":\"192.168.1.10\","
    "\"srcport\":50000,\"tos\":0,\"user\":\"alice\"}\n";

TEST(CollectorOutput, SampleDatagramAsJsonAndCsv) {
  std::string out, error;
  ASSERT_TRUE(datagramToLines(kSampleDatagram.data(), kSampleDatagram.size(), CollectorFormat::json, out, error));
  EXPECT_EQ(out, kSampleJsonLine);

  EXPECT_EQ(collectorHeader(CollectorFormat::json), "");
  EXPECT_EQ(collectorHeader(CollectorFormat::csv),
            "inif,outif,firstseen,lastseen,srcip,dstip,srcport,dstport,pkts,bytes,flags,tos,proto,processname,"
            "user,domain,replydelay\n");
  out.clear();
  ASSERT_TRUE(datagramToLines(kSampleDatagram.data(), kSampleDatagram.size(), CollectorFormat::csv, out, error));
  EXPECT_EQ(out,
            "0,1,1700000000000,1700000001500,192.168.1.10,203.0.113.5,50000,443,12,4200,27,0,6,"
            "\"C:/Tools/client.exe\",\"alice\",\"HOST1\",35\n");
}

TEST(CollectorOutput, AwkwardValuesStayOneLine) {
  struct Case {
    const char* name;
    std::string text;          // put in user
    const char* csvUser;       // the user column as written
  };
  const Case cases[] = {
      {"quotes and comma", "say \"hi\", ok", "\"say \"\"hi\"\", ok\""},
      {"line break", "a\nb", "\"a\nb\""},
      {"empty", "", "\"\""},
  };
  for (const Case& c : cases) {
    FlowRecord r = sampleTcpRecord();
    r.owner = makeOwner("p", c.text, "d");
    r.bytes = -1;  // the 32 bits 0xffffffff
    std::string json;
    appendFlowLine(r, CollectorFormat::json, json);
    ASSERT_EQ(json.find('\n'), json.size() - 1) << c.name << ": " << json;
    Json::Value parsed;
    std::istringstream in(json);
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &parsed, nullptr)) << c.name;
    EXPECT_EQ(parsed["user"].asString(), c.text) << c.name;
    EXPECT_EQ(parsed["bytes"].asUInt64(), 4294967295u) << c.name;
    EXPECT_FALSE(parsed.isMember("age")) << c.name;

    std::string csv;
    appendFlowLine(r, CollectorFormat::csv, csv);
    EXPECT_NE(csv.find(std::string(",\"p\",") + c.csvUser + ",\"d\",35\n"), std::string::npos) << c.name << ": " << csv;
    EXPECT_NE(csv.find(",4294967295,"), std::string::npos) << c.name;
  }
}

TEST(CollectorOutput, MalformedDatagramAddsNothingAndIsReported) {
  std::vector<uint8_t> bad = kSampleDatagram;
  bad[1] = 1;
  std::string out = "kept", error;
  EXPECT_FALSE(datagramToLines(bad.data(), bad.size(), CollectorFormat::json, out, error));
  EXPECT_EQ(out, "kept");
  EXPECT_EQ(malformedDatagramReport(0x7F000001, 40000, error),
            "vantrel-collect: malformed datagram from 127.0.0.1:40000: version 1, expected 2\n");
}

}  // namespace
