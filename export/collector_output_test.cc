#include "export/collector_output.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "export/datagram_builder.h"
#include "export/sample_records.h"
#include "export/serialize.h"
#include "flow/ip_text.h"
#include "runtime/state.h"
#include "tests/support/export_recorder.h"

namespace {

const char* const kSampleJsonLine =
    "{\"bytes\":4200,\"container\":\"\",\"domain\":\"HOST1\",\"dstip\":\"203.0.113.5\",\"dstport\":443,\"exporter\":\"127.0.0.1\","
    "\"firstseen\":1700000000000,\"flags\":27,\"inif\":0,\"lastseen\":1700000001500,\"namesource\":\"\",\"obsdomain\":0,"
    "\"outif\":1,\"peername\":\"\",\"pkts\":12,"
    "\"processname\":\"C:/Tools/client.exe\",\"proto\":6,\"replydelay\":35,\"service\":\"\",\"srcip\":\"192.168.1.10\","
    "\"srcport\":50000,\"tos\":0,\"user\":\"alice\"}\n";

TEST(CollectorOutput, SampleDatagramAsJsonAndCsv) {
  std::string out, error;
  const RecordSource from{0x7F000001, 0};
  ASSERT_TRUE(
      datagramToLines(kSampleDatagram.data(), kSampleDatagram.size(), CollectorFormat::json, out, error, from));
  EXPECT_EQ(out, kSampleJsonLine);

  EXPECT_EQ(collectorHeader(CollectorFormat::json), "");
  EXPECT_EQ(collectorHeader(CollectorFormat::csv),
            "inif,outif,firstseen,lastseen,srcip,dstip,srcport,dstport,pkts,bytes,flags,tos,proto,processname,"
            "user,domain,replydelay,exporter,obsdomain,peername,namesource,service,container\n");
  out.clear();
  ASSERT_TRUE(datagramToLines(kSampleDatagram.data(), kSampleDatagram.size(), CollectorFormat::csv, out, error, from));
  EXPECT_EQ(out,
            "0,1,1700000000000,1700000001500,192.168.1.10,203.0.113.5,50000,443,12,4200,27,0,6,"
            "\"C:/Tools/client.exe\",\"alice\",\"HOST1\",35,127.0.0.1,0,\"\",\"\",\"\",\"\"\n");
}

TEST(CollectorOutput, AwkwardValuesStayOneLine) {
  struct Case {
    const char* name;
    std::string text;          // put in user
    const char* csvUser;       // the user column as written
    std::string jsonUser = "";  // as JSON gives it back, when not `text`
  };
  const Case cases[] = {
      {"quotes and comma", "say \"hi\", ok", "\"say \"\"hi\"\", ok\""},
      {"line break", "a\nb", "\"a\nb\""},
      {"empty", "", "\"\""},
      {"cut UTF-8 before a quote", "bad\xc3\"q", "\"bad\xc3\"\"q\"", "bad\xEF\xBF\xBD\"q"},
      {"stray bytes", "\x80\xffok\xe2\x82", "\"\x80\xffok\xe2\x82\"", "\xEF\xBF\xBD\xEF\xBF\xBDok\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"formula", "=HYPERLINK(\"x\")", "\"'=HYPERLINK(\"\"x\"\")\""},
      {"plus", "+1", "\"'+1\""},
      {"minus", "-2", "\"'-2\""},
      {"at", "@SUM(A1)", "\"'@SUM(A1)\""},
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
    EXPECT_EQ(parsed["user"].asString(), c.jsonUser.empty() ? c.text : c.jsonUser) << c.name;
    EXPECT_EQ(parsed["bytes"].asUInt64(), 4294967295u) << c.name;
    EXPECT_FALSE(parsed.isMember("age")) << c.name;

    std::string csv;
    appendFlowLine(r, CollectorFormat::csv, csv);
    EXPECT_NE(csv.find(std::string(",\"p\",") + c.csvUser + ",\"d\",35,0.0.0.0,0,\"\",\"\",\"\",\"\"\n"), std::string::npos) << c.name << ": " << csv;
    EXPECT_NE(csv.find(",4294967295,"), std::string::npos) << c.name;
  }
}

// Each line is its own record's, whatever the lines before held: values
// that change, fall back to zero or empty, or come back, as a fresh object
// would give them.
TEST(CollectorOutput, ALineKeepsNothingOfTheRecordBefore) {
  CollectedFlow rich(sampleTcpRecord());
  rich.packets = 5000000000, rich.octets = uint64_t(1) << 40;
  rich.peer = PeerName::make("a.example", NameSource::kTls);
  rich.owner = makeOwner("p\xc3", "u", "d", "svc", "c0ffee");
  CollectedFlow six = rich;
  six.family = 6;
  ASSERT_TRUE(parseIp6("2001:db8::10", six.srcip6) && parseIp6("2001:db8:1::5", six.dstip6));
  const CollectedFlow bare;
  const std::pair<const CollectedFlow*, RecordSource> lines[] = {
      {&rich, {0x0A000001, 7}}, {&bare, {0, 0}}, {&six, {0x0A000002, 7}}, {&bare, {0, 0}}, {&rich, {0x0A000001, 7}},
      {&rich, {0x0A000001, 7}}, {&six, {0, 0}}};
  Json::StreamWriterBuilder fresh;
  fresh["indentation"] = "";
  for (const auto& [record, from] : lines) {
    std::string line;
    appendFlowLine(*record, CollectorFormat::json, line, from);
    EXPECT_EQ(line, Json::writeString(fresh, flowRecordJson(*record, from)) + "\n");
  }
}

// The datagrams the builder sends for `records` in `format`.
std::vector<std::vector<uint8_t>> sentAs(ExportFormat format, const std::vector<FlowEntry>& records) {
  return Recorder(format).send(records).sent;
}

TEST(CollectDatagram, SameLinesWhicheverFormatCarriedTheFlows) {
  std::vector<FlowEntry> records;
  for (uint8_t proto : {6, 17, 1}) {
    FlowRecord r = sampleTcpRecord();
    r.proto = proto;
    if (proto == 1) r.srcport = 11, r.dstport = 1, r.owner = nullptr, r.inif = 1, r.outif = 0;
    records.push_back(r);
  }
  for (size_t i = 0; i < 60; ++i) records.push_back(recordOfLength(48 + i * 12, uint32_t(i)));
  for (size_t i = 3; i < records.size(); ++i) records[i].outif = 1;  // a real record has a direction
  for (CollectorFormat format : {CollectorFormat::json, CollectorFormat::csv}) {
    CollectedText native, ipfix;
    IpfixTemplates templates;
    for (const auto& d : sentAs(ExportFormat::native, records)) {
      collectDatagram(d.data(), d.size(), 0x7F000001, 40000, templates, format, native);
    }
    for (const auto& d : sentAs(ExportFormat::ipfix, records)) {
      collectDatagram(d.data(), d.size(), 0x7F000001, 40001, templates, format, ipfix);
    }
    EXPECT_EQ(native.reports, "");
    EXPECT_EQ(ipfix.reports, "");
    EXPECT_EQ(std::count(native.lines.begin(), native.lines.end(), '\n'), long(records.size()));
    EXPECT_EQ(ipfix.lines, native.lines);
  }
  CollectedText sample;
  IpfixTemplates templates;
  const auto m = sentAs(ExportFormat::ipfix, {sampleTcpRecord()})[0];
  collectDatagram(m.data(), m.size(), 0x7F000001, 40001, templates, CollectorFormat::json, sample);
  EXPECT_EQ(sample.lines, kSampleJsonLine);
}

// Service and container travel by IPFIX only; native datagrams have no room.
TEST(CollectDatagram, ServiceAndContainerByIpfix) {
  FlowRecord r = sampleTcpRecord();
  r.owner = makeOwner("nginx", "www-data", "host", "nginx.service", "4f1c0a9e2b7d");
  for (ExportFormat exportFormat : {ExportFormat::ipfix, ExportFormat::native}) {
    CollectedText got;
    IpfixTemplates templates;
    for (const auto& d : sentAs(exportFormat, {r})) {
      collectDatagram(d.data(), d.size(), 0x7F000001, 40001, templates, CollectorFormat::csv, got);
    }
    const bool ipfix = exportFormat == ExportFormat::ipfix;
    EXPECT_NE(got.lines.find(ipfix ? ",\"nginx.service\",\"4f1c0a9e2b7d\"\n" : ",\"\",\"\"\n"), std::string::npos)
        << got.lines;
  }
}

// Peer names travel by IPFIX alone, cut to 255 bytes like the owner strings.
TEST(CollectDatagram, PeerNamesThroughIpfix) {
  struct Case {
    std::string name;
    NameSource source;
    const char* wantSource;
  };
  const Case cases[] = {{"www.example.com", NameSource::kTls, "tls"},
                        {"example.com", NameSource::kQuic, "quic"},
                        {std::string(300, 'n'), NameSource::kDns, "dns"},
                        {"", NameSource::kNone, ""}};
  for (const Case& c : cases) {
    FlowRecord r = sampleTcpRecord();
    r.peer = PeerName::make(c.name, c.source);
    IpfixTemplates templates;
    CollectedText out;
    const auto m = sentAs(ExportFormat::ipfix, {r})[0];
    collectDatagram(m.data(), m.size(), 0x7F000001, 40001, templates, CollectorFormat::json, out);
    Json::Value line;
    std::istringstream in(out.lines);
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &line, nullptr)) << out.lines;
    EXPECT_EQ(line["peername"].asString(), c.name.substr(0, 255)) << c.wantSource;
    EXPECT_EQ(line["namesource"].asString(), c.wantSource);
  }
}

// IPv6 flows: left out of native datagrams (counted, the IPv4 ones sent as
// if they were not there), carried by IPFIX in a template of their own
// beside the IPv4 one, in the same messages and order.
TEST(CollectDatagram, IPv6FlowsTravelByIpfixOnly) {
  std::vector<FlowEntry> mixed, ipv4Only;
  for (size_t i = 0; i < 40; ++i) {
    FlowEntry e = i % 3 == 0 ? FlowEntry(recordOfLength(48 + i * 20, uint32_t(i))) : sampleTcpEntry6();
    if (i % 3 != 0) {
      e.srcport = static_cast<uint16_t>(i);
      if (i % 5 == 0) e.proto = 58, e.srcport = 128, e.dstport = 0, e.owner = nullptr;  // an echo request
      if (i == 7) e.owner = makeOwner(std::string(300, 'p'), "u", "d");  // cut to 255 bytes
    }
    e.outif = 1;
    mixed.push_back(e);
    if (!e.ipv6()) ipv4Only.push_back(e);
  }
  const uint64_t skippedBefore = exportsSkippedIPv6.load();
  EXPECT_EQ(sentAs(ExportFormat::native, mixed), sentAs(ExportFormat::native, ipv4Only));
  EXPECT_EQ(exportsSkippedIPv6.load() - skippedBefore, mixed.size() - ipv4Only.size());

  const auto messages = sentAs(ExportFormat::ipfix, mixed);
  CollectedText out;
  IpfixTemplates templates;
  for (const auto& m : messages) {
    EXPECT_LE(m.size(), kMaxDatagramBytes);
    collectDatagram(m.data(), m.size(), 0x7F000001, 40001, templates, CollectorFormat::json, out);
  }
  EXPECT_EQ(out.reports, "");
  std::istringstream lines(out.lines);
  std::string line;
  size_t i = 0;
  for (; std::getline(lines, line); ++i) {
    ASSERT_LT(i, mixed.size());
    Json::Value flow;
    std::istringstream in(line);
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &flow, nullptr)) << line;
    const FlowEntry& e = mixed[i];
    if (!e.ipv6()) {
      EXPECT_EQ(flow["srcip"].asString(), "0.0.0." + std::to_string(i)) << line;
      continue;
    }
    EXPECT_EQ(flow["srcip"].asString(), "2001:db8::10") << line;
    EXPECT_EQ(flow["dstip"].asString(), "2001:db8:1::5") << line;
    EXPECT_EQ(flow["srcport"].asUInt(), e.srcport) << line;
    EXPECT_EQ(flow["proto"].asUInt(), e.proto) << line;
    EXPECT_EQ(flow["bytes"].asUInt(), 4200u) << line;
    EXPECT_EQ(flow["processname"].asString().size(), i == 7 ? 255u : e.processname().size()) << line;
  }
  EXPECT_EQ(i, mixed.size());

  // The first message names both templates, each before its first data set.
  IpfixMessage first;
  std::string error;
  IpfixTemplates fresh;
  ASSERT_TRUE(decodeIpfixMessage(messages[0].data(), messages[0].size(), 1, fresh, first, error)) << error;
  EXPECT_EQ(fresh.size(), 2u);
  EXPECT_EQ(fresh.count({1, 0, kIpfixTemplateId6}), 1u);
  ASSERT_GE(first.records.size(), 2u);
  EXPECT_EQ(first.records[1].flowlabel, 0x12345u);
}

TEST(CollectDatagram, Reports) {
  // The first message of a run, with the template, and the second, without.
  Recorder run(ExportFormat::ipfix);
  const auto& messages = run.send({sampleTcpRecord()}).send({sampleTcpRecord()}).sent;
  const std::vector<uint8_t> truncated(kSampleDatagram.begin(), kSampleDatagram.begin() + 4);
  std::vector<uint8_t> version5 = kSampleDatagram;
  version5[1] = 7;
  std::vector<uint8_t> badIpfix = messages[0];
  badIpfix[3] += 1;
  std::vector<uint8_t> otherDomain = messages[1];
  putU32(&otherDomain[12], 7);
  struct Case {
    const char* name;
    const std::vector<uint8_t>* datagram;
    const char* reports;
    size_t lines;
    uint32_t from = 0x7F000001;  // the exporter
  };
  const Case cases[] = {
      {"IPFIX data before its template", &messages[1],
       "vantrel-collect: IPFIX message from 127.0.0.1:40000: skipped data sets of template 256 (observation domain "
       "0), not seen yet\n",
       0},
      {"malformed native datagram", &truncated,
       "vantrel-collect: malformed datagram from 127.0.0.1:40000: record count 1 but the datagram ends after 0 "
       "records\n",
       0},
      {"unknown version", &version5,
       "vantrel-collect: malformed datagram from 127.0.0.1:40000: version 7, expected 2 (native), 5, 9 (NetFlow) or 10 (IPFIX)\n", 0},
      {"malformed IPFIX", &badIpfix,
       "vantrel-collect: malformed datagram from 127.0.0.1:40000: IPFIX length field says 234 bytes, the datagram "
       "has 233\n",
       0},
      {"template learned", &messages[0], "", 1},
      {"then data alone decodes", &messages[1], "", 1},
      // Templates are learned per exporter and observation domain.
      {"data from another exporter", &messages[1],
       "vantrel-collect: IPFIX message from 127.0.0.2:40000: skipped data sets of template 256 (observation domain "
       "0), not seen yet\n",
       0, 0x7F000002},
      {"data of another observation domain", &otherDomain,
       "vantrel-collect: IPFIX message from 127.0.0.1:40000: skipped data sets of template 256 (observation domain "
       "7), not seen yet\n",
       0},
  };
  IpfixTemplates templates;
  for (const Case& c : cases) {
    CollectedText out;
    collectDatagram(c.datagram->data(), c.datagram->size(), c.from, 40000, templates, CollectorFormat::json, out);
    EXPECT_EQ(out.reports, c.reports) << c.name;
    EXPECT_EQ(size_t(std::count(out.lines.begin(), out.lines.end(), '\n')), c.lines) << c.name;
  }
}

}  // namespace

TEST(CollectDatagram, RepeatedReportsAtMostOnceASecondPerExporterAndKind) {
  ReportLimiter limiter;
  const CollectorReport malformed{"malformed", "vantrel-collect: malformed datagram from 10.0.0.1:1: x\n"};
  const CollectorReport unknown{"unknown", "vantrel-collect: IPFIX message from 10.0.0.1:1: y\n"};
  struct Step {
    uint32_t exporter;
    const CollectorReport* report;
    uint64_t at;
    const char* shown;
  };
  const Step steps[] = {
      {1, &malformed, 10'000, "vantrel-collect: malformed datagram from 10.0.0.1:1: x\n"},
      {1, &malformed, 10'001, ""},
      {1, &malformed, 10'999, ""},
      {1, &unknown, 10'999, "vantrel-collect: IPFIX message from 10.0.0.1:1: y\n"},
      {2, &malformed, 10'999, "vantrel-collect: malformed datagram from 10.0.0.1:1: x\n"},
      {1, &malformed, 11'000, "vantrel-collect: malformed datagram from 10.0.0.1:1: x (2 more like this left out)\n"},
      {1, &malformed, 12'500, "vantrel-collect: malformed datagram from 10.0.0.1:1: x\n"},
  };
  for (const Step& s : steps) {
    EXPECT_EQ(limitReport(limiter, s.exporter, *s.report, s.at), s.shown) << s.report->kind << " at " << s.at;
  }
  for (uint32_t exporter = 0; exporter < 3 * kMaxReportKeys; ++exporter) limitReport(limiter, exporter, unknown, 0);
  EXPECT_LE(limiter.seen.size(), kMaxReportKeys);
}
