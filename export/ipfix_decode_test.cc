#include "export/ipfix_decode.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "export/datagram_builder.h"
#include "export/sample_records.h"
#include "export/serialize.h"
#include "tests/support/export_recorder.h"

namespace {

constexpr uint32_t kExporter = 0x7F000001;

// Every message the builder sends for `records`, in IPFIX.
std::vector<std::vector<uint8_t>> ipfixMessages(const std::vector<FlowRecord>& records) {
  return Recorder(ExportFormat::ipfix).send(records).sent;
}

// Bytes of a message made by hand: append big-endian fields, then fix the
// header's length.
struct Bytes {
  std::vector<uint8_t> b;
  Bytes& u8(uint8_t v) { return b.push_back(v), *this; }
  Bytes& u16(uint16_t v) { return u8(uint8_t(v >> 8)).u8(uint8_t(v)); }
  Bytes& u32(uint32_t v) { return u16(uint16_t(v >> 16)).u16(uint16_t(v)); }
  Bytes& u64(uint64_t v) { return u32(uint32_t(v >> 32)).u32(uint32_t(v)); }
  Bytes& text(const std::string& s) { return b.insert(b.end(), s.begin(), s.end()), *this; }
  Bytes& header(uint32_t domain = 0) { return u16(10).u16(0).u32(0).u32(0).u32(domain); }
  // Opens a set; close() writes its length.
  Bytes& set(uint16_t id) { return setAt = b.size(), u16(id).u16(0); }
  Bytes& close() {
    putU16(&b[setAt + 2], uint16_t(b.size() - setAt));
    return *this;
  }
  std::vector<uint8_t> done() {
    putU16(&b[2], uint16_t(b.size()));
    return b;
  }
  size_t setAt = 0;
};

TEST(DecodeIpfix, OtherExportersEncodings) {
  // Reduced-size counters and flags, an unknown enterprise element, a long
  // string with its 3-byte length, padding after the records, an options
  // template set and a withdrawal of another template.
  Bytes m;
  m.header(3);
  m.set(kIpfixOptionsTemplateSetId).u16(300).u16(1).u16(1).u16(8).u16(4).close();
  m.set(kIpfixTemplateSetId)
      .u16(400).u16(9)
      .u16(8).u16(4).u16(12).u16(4)
      .u16(4).u16(1)
      .u16(1).u16(4)   // octetDeltaCount in 4 bytes
      .u16(2).u16(2)   // packetDeltaCount in 2
      .u16(6).u16(1)   // tcpControlBits in 1
      .u16(0x8005).u16(2).u32(9999)  // someone else's element
      .u16(0x8002).u16(0xFFFF).u32(kVantrelEnterpriseNumber)
      .u16(61).u16(1)
      .u16(401).u16(0)  // withdraws template 401
      .close();
  m.set(400)
      .u32(0x0A000001).u32(0x0A000002).u8(6).u32(123456).u16(77).u8(0x12).u16(0xBEEF)
      .u8(255).u16(300).text(std::string(300, 'x')).u8(1)
      .u8(0).u8(0).u8(0)  // padding: fewer bytes than a record needs
      .close();
  const std::vector<uint8_t> bytes = m.done();
  IpfixTemplates templates;
  templates[{kExporter, 3, 401}] = IpfixTemplate{{{8, 4, 0}}, 4};
  IpfixMessage decoded;
  std::string error;
  ASSERT_TRUE(decodeIpfixMessage(bytes.data(), bytes.size(), kExporter, templates, decoded, error)) << error;
  ASSERT_EQ(decoded.records.size(), 1u);
  const FlowRecord& r = decoded.records[0];
  EXPECT_EQ(r.srcip, 0x0A000001u);
  EXPECT_EQ(r.dstip, 0x0A000002u);
  EXPECT_EQ(r.proto, 6);
  EXPECT_EQ(r.bytes, 123456);
  EXPECT_EQ(r.pkts, 77);
  EXPECT_EQ(r.flags, 0x12);
  EXPECT_EQ(r.user(), std::string(kMaxCollectedStringBytes, 'x')) << "cut as the native datagram cuts it";
  EXPECT_EQ(r.processname(), "");
  EXPECT_EQ(r.outif, 1);
  EXPECT_EQ(r.inif, 0);
  EXPECT_EQ(r.firstseen, 0u) << "fields the template lacks stay 0";
  EXPECT_EQ(templates.count({kExporter, 3, 401}), 0u) << "withdrawn";
  EXPECT_TRUE(templates.at({kExporter, 3, 300}).options) << "options data sets are not reported as unknown";
  EXPECT_EQ(templates.count({kExporter, 3, 400}), 1u);
}

TEST(DecodeIpfix, TimesFromEveryKindOfTimeElement) {
  // Template 256: start and end uptime; 257: the same with the exporter's
  // start in the record; 258: seconds; 259: an options template saying
  // when the exporter started.
  constexpr uint64_t kInit = 1'700'000'000'000;
  auto templatesSet = [](Bytes& m) {
    m.set(kIpfixTemplateSetId)
        .u16(256).u16(3).u16(8).u16(4).u16(22).u16(4).u16(21).u16(4)
        .u16(257).u16(4).u16(8).u16(4).u16(22).u16(4).u16(21).u16(4).u16(160).u16(8)
        .u16(258).u16(3).u16(8).u16(4).u16(150).u16(4).u16(151).u16(4)
        .close();
    m.set(kIpfixOptionsTemplateSetId).u16(259).u16(2).u16(1).u16(149).u16(4).u16(160).u16(8).close();
  };
  struct Case {
    const char* what;
    uint32_t exportTime;
    std::function<void(Bytes&)> sets;
    uint64_t first, last;
    bool guessed;
  };
  const Case cases[] = {
      {"uptime after an options record", 5000,
       [&](Bytes& m) {
         templatesSet(m);
         m.set(259).u32(0).u64(kInit).close();
         m.set(256).u32(1).u32(1000).u32(4000).close();
       },
       kInit + 1000, kInit + 4000, false},
      {"uptime with the start in the record", 5000,
       [&](Bytes& m) {
         templatesSet(m);
         m.set(257).u32(1).u32(1000).u32(4000).u64(kInit).close();
       },
       kInit + 1000, kInit + 4000, false},
      {"seconds", 5000,
       [&](Bytes& m) {
         templatesSet(m);
         m.set(258).u32(1).u32(1'700'000'001).u32(1'700'000'002).close();
       },
       1'700'000'001'000, 1'700'000'002'000, false},
      {"uptime without the start: export time", 1'700'000'005,
       [&](Bytes& m) {
         templatesSet(m);
         m.set(256).u32(1).u32(1000).u32(4000).close();
       },
       1'700'000'002'000, 1'700'000'005'000, true},
      {"uptime without the start or an export time: receive time", 0,
       [&](Bytes& m) {
         templatesSet(m);
         m.set(256).u32(1).u32(1000).u32(4000).close();
       },
       1'700'000'006'000, 1'700'000'009'000, true},
  };
  for (const Case& c : cases) {
    Bytes m;
    m.header(7);
    putU32(&m.b[4], c.exportTime);
    c.sets(m);
    const std::vector<uint8_t> bytes = m.done();
    IpfixTemplates templates;
    IpfixMessage decoded;
    std::string error;
    ASSERT_TRUE(decodeIpfixMessage(bytes.data(), bytes.size(), kExporter, templates, decoded, error,
                                   1'700'000'009'000))
        << c.what << ": " << error;
    ASSERT_EQ(decoded.records.size(), 1u) << c.what;
    EXPECT_EQ(decoded.records[0].firstseen, c.first) << c.what;
    EXPECT_EQ(decoded.records[0].lastseen, c.last) << c.what;
    EXPECT_EQ(decoded.timesGuessed, c.guessed) << c.what;
  }

  // The start told once serves the exporter's later messages.
  IpfixTemplates templates;
  IpfixMessage decoded;
  std::string error;
  Bytes first;
  first.header(7);
  templatesSet(first);
  first.set(259).u32(0).u64(kInit).close();
  const std::vector<uint8_t> a = first.done();
  ASSERT_TRUE(decodeIpfixMessage(a.data(), a.size(), kExporter, templates, decoded, error)) << error;
  Bytes later;
  later.header(7).set(256).u32(1).u32(10).u32(20).close();
  const std::vector<uint8_t> b = later.done();
  ASSERT_TRUE(decodeIpfixMessage(b.data(), b.size(), kExporter, templates, decoded, error)) << error;
  ASSERT_EQ(decoded.records.size(), 1u);
  EXPECT_EQ(decoded.records[0].lastseen, kInit + 20);
  EXPECT_FALSE(decoded.timesGuessed);
}

TEST(DecodeIpfix, WholeCountsAndBoundedTemplates) {
  const uint64_t counts[] = {0, 1, UINT32_MAX, uint64_t(1) << 32, 5'000'000'000, UINT64_MAX};
  for (uint64_t count : counts) {
    Bytes m;
    m.header().set(kIpfixTemplateSetId).u16(256).u16(2).u16(1).u16(8).u16(2).u16(8).close();
    m.set(256).u64(count).u64(count).close();
    const std::vector<uint8_t> bytes = m.done();
    IpfixTemplates templates;
    IpfixMessage decoded;
    std::string error;
    ASSERT_TRUE(decodeIpfixMessage(bytes.data(), bytes.size(), kExporter, templates, decoded, error)) << error;
    ASSERT_EQ(decoded.records.size(), 1u) << count;
    EXPECT_EQ(decoded.records[0].octets, count);
    EXPECT_EQ(decoded.records[0].packets, count);
    EXPECT_EQ(static_cast<uint32_t>(decoded.records[0].bytes), std::min<uint64_t>(count, UINT32_MAX)) << count;
  }

  // Templates that would cost time in every record are refused.
  struct Case {
    const char* what;
    size_t fields;
    uint16_t padLength;
    const char* error;  // "" when learned
  };
  const Case cases[] = {
      {"512 fields", kMaxIpfixTemplateFields, 1, ""},
      {"513 fields", kMaxIpfixTemplateFields + 1, 1, "template 256 at offset 20 has 513 fields, more than 512"},
      {"16,000 fields", 16000, 1, "template 256 at offset 20 has 16000 fields, more than 512"},
      {"a field of length 0", 2, 0, "template 256 at offset 20: field 2 has length 0"},
  };
  for (const Case& c : cases) {
    Bytes m;
    m.header().set(kIpfixTemplateSetId).u16(256).u16(uint16_t(c.fields)).u16(8).u16(4);
    for (size_t i = 1; i < c.fields; ++i) m.u16(210).u16(c.padLength);  // paddingOctets
    m.close();
    const std::vector<uint8_t> bytes = m.done();
    IpfixTemplates templates;
    IpfixMessage decoded;
    std::string error;
    const bool ok = decodeIpfixMessage(bytes.data(), bytes.size(), kExporter, templates, decoded, error);
    EXPECT_EQ(ok, *c.error == '\0') << c.what;
    if (!ok) EXPECT_EQ(error, c.error) << c.what;
    EXPECT_EQ(templates.size(), ok ? 1u : 0u) << c.what;
  }
}

TEST(DecodeNetflow, Version9And5GiveTheSameRecordAsIpfix) {
  // One TCP flow, 10.0.0.1:40000 -> 10.0.0.2:443, 5,000,000,000 bytes in
  // v9 (8-byte counter), 3 packets, DSCP 46 (TOS 0xb8), flags 0x1b, seen
  // from uptime 1000 to 4000 ms of an exporter whose clock says
  // 1,700,000,100 s at uptime 100,000 ms.
  constexpr uint32_t kClock = 1'700'000'100, kUp = 100'000;
  constexpr uint64_t kStart = uint64_t(kClock) * 1000 - kUp;
  Bytes v9;
  v9.u16(9).u16(3).u32(kUp).u32(kClock).u32(77).u32(5);
  v9.set(0).u16(260).u16(10)
      .u16(8).u16(4).u16(12).u16(4).u16(7).u16(2).u16(11).u16(2).u16(4).u16(1)
      .u16(5).u16(1).u16(6).u16(1).u16(1).u16(8).u16(2).u16(4).u16(22).u16(4)
      .close();
  v9.set(1).u16(261).u16(4).u16(4).u16(1).u16(4).u16(34).u16(4).close();  // options: system scope, sampling
  v9.set(260).u32(0x0A000001).u32(0x0A000002).u16(40000).u16(443).u8(6).u8(0xB8).u8(0x1B).u64(5'000'000'000)
      .u32(3).u32(1000).u8(0).u8(0).u8(0).close();
  v9.set(261).u32(0).u32(100).close();
  v9.u16(0);  // padding after the last flowset
  const std::vector<uint8_t> nine = v9.b;

  Bytes v5;
  v5.u16(5).u16(1).u32(kUp).u32(kClock).u32(0).u32(12).u8(1).u8(2).u16(0);
  v5.u32(0x0A000001).u32(0x0A000002).u32(0).u16(3).u16(4).u32(3).u32(4200).u32(1000).u32(4000)
      .u16(40000).u16(443).u8(0).u8(0x1B).u8(6).u8(0xB8).u16(0).u16(0).u8(0).u8(0).u16(0);
  const std::vector<uint8_t> five = v5.b;

  IpfixTemplates templates;
  IpfixMessage m;
  std::string error;
  ASSERT_TRUE(decodeNetflow9Packet(nine.data(), nine.size(), kExporter, templates, m, error)) << error;
  ASSERT_EQ(m.records.size(), 1u);
  EXPECT_EQ(m.domain, 5u);
  EXPECT_EQ(templates.count({kExporter, 5, 260, 9}), 1u);
  EXPECT_EQ(templates.count({kExporter, 5, 260}), 0u) << "v9 templates are apart from IPFIX ones";
  const CollectedFlow& a = m.records[0];
  EXPECT_EQ(a.srcip, 0x0A000001u);
  EXPECT_EQ(a.dstport, 443);
  EXPECT_EQ(a.tos, 46);
  EXPECT_EQ(a.flags, 0x1B);
  EXPECT_EQ(a.octets, 5'000'000'000u);
  EXPECT_EQ(a.packets, 3u);
  EXPECT_EQ(a.firstseen, kStart + 1000);

  ASSERT_TRUE(decodeNetflow5Packet(five.data(), five.size(), m, error)) << error;
  ASSERT_EQ(m.records.size(), 1u);
  EXPECT_EQ(m.domain, 0x0102u);
  const CollectedFlow& b = m.records[0];
  EXPECT_EQ(b.srcip, 0x0A000001u);
  EXPECT_EQ(b.dstip, 0x0A000002u);
  EXPECT_EQ(b.srcport, 40000);
  EXPECT_EQ(b.dstport, 443);
  EXPECT_EQ(b.proto, 6);
  EXPECT_EQ(b.tos, 46);
  EXPECT_EQ(b.flags, 0x1B);
  EXPECT_EQ(b.octets, 4200u);
  EXPECT_EQ(b.packets, 3u);
  EXPECT_EQ(b.firstseen, kStart + 1000);
  EXPECT_EQ(b.lastseen, kStart + 4000);

  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    bool v9;
    const char* error;
  };
  std::vector<uint8_t> fiveShort = five, fiveCount = five, nineCut = nine, nineWide = nine;
  fiveShort.pop_back();
  fiveCount[3] = 31;
  nineCut.resize(30);
  putU16(&nineWide[20 + 6], 513);  // the template's field count
  const Case cases[] = {
      {"v5 a byte short", fiveShort, false, "NetFlow v5 packet of 71 bytes says it holds 1 records"},
      {"v5 31 records", fiveCount, false, "NetFlow v5 packet of 72 bytes says it holds 31 records"},
      {"v5 header cut", std::vector<uint8_t>(five.begin(), five.begin() + 23), false,
       "NetFlow v5 packet of 23 bytes is shorter than the 24-byte header"},
      {"v9 set cut", nineCut, true, "set 0 at offset 20 has length 48, 10 bytes left"},
      {"v9 513 fields", nineWide, true, "template 260 at offset 24 has 513 fields, more than 512"},
      {"v9 header cut", std::vector<uint8_t>(nine.begin(), nine.begin() + 19), true,
       "NetFlow v9 packet of 19 bytes is shorter than the 20-byte header"},
  };
  for (const Case& c : cases) {
    IpfixTemplates fresh;
    const bool ok = c.v9 ? decodeNetflow9Packet(c.bytes.data(), c.bytes.size(), kExporter, fresh, m, error)
                         : decodeNetflow5Packet(c.bytes.data(), c.bytes.size(), m, error);
    EXPECT_FALSE(ok) << c.what;
    EXPECT_EQ(error, c.error) << c.what;
    EXPECT_TRUE(fresh.empty() && m.records.empty()) << c.what;
  }
}

TEST(DecodeIpfix, RejectsMalformedWithReasonAndLearnsNothing) {
  const std::vector<uint8_t> good = ipfixMessages({sampleTcpRecord()})[0];  // 233 bytes, template set at 16
  struct Case {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> change;
    const char* error;
  };
  auto setLength = [](std::vector<uint8_t>& d) { putU16(&d[2], uint16_t(d.size())); };
  const Case cases[] = {
      {"empty", [](auto& d) { d.clear(); }, "IPFIX message of 0 bytes is shorter than the 16-byte header"},
      {"15 bytes", [](auto& d) { d.resize(15); }, "IPFIX message of 15 bytes is shorter than the 16-byte header"},
      {"version 9", [](auto& d) { d[1] = 9; }, "version 9, expected 10"},
      {"length field too big", [](auto& d) { d[3] += 1; },
       "IPFIX length field says 234 bytes, the datagram has 233"},
      {"cut in a set header", [&](auto& d) { d.resize(18), setLength(d); },
       "set header at offset 16 runs past the end of the 18-byte message"},
      {"set longer than the message", [&](auto& d) { d.resize(100), setLength(d); },
       "set 2 at offset 16 has length 124, 84 bytes left"},
      {"set length below 4", [](auto& d) { d[19] = 3; }, "set 2 at offset 16 has length 3, 217 bytes left"},
      {"template id below 256", [](auto& d) { d[20] = 0, d[21] = 255; },
       "template record at offset 20 has id 255, below 256"},
      {"more fields than the set holds", [](auto& d) { d[23] = 22; },
       "template 256 at offset 20: field 22 of 22 runs past the end of its set"},
      {"enterprise number cut",
       [&](auto& d) {
         d[19] = 124 - 2;
         d.erase(d.begin() + 16 + 122, d.begin() + 16 + 124);
         setLength(d);
       },
       "template 256 at offset 20: enterprise number of field 21 runs past the end of its set"},
      {"string past the end of the data set", [](auto& d) { d[233 - 16] = 40; },
       "data set of template 256 at offset 140: record 1 runs past the end of its set"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> d = good;
    c.change(d);
    IpfixTemplates templates;
    IpfixMessage decoded;
    decoded.records.resize(2);
    std::string error;
    EXPECT_FALSE(decodeIpfixMessage(d.data(), d.size(), kExporter, templates, decoded, error)) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
    EXPECT_TRUE(decoded.records.empty()) << c.name;
    EXPECT_TRUE(templates.empty()) << c.name;
  }
}

TEST(DecodeIpfix, EveryCutOfAGoodMessageIsHandled) {
  // Cut at every length, with the header's length field made to agree so the
  // reader goes past the first check.
  const std::vector<uint8_t> good = ipfixMessages({sampleTcpRecord(), recordOfLength(48 + 3 * 255)})[0];
  for (size_t n = 16; n < good.size(); ++n) {
    std::vector<uint8_t> d(good.begin(), good.begin() + n);
    putU16(&d[2], uint16_t(n));
    IpfixTemplates templates;
    IpfixMessage decoded;
    std::string error;
    const bool ok = decodeIpfixMessage(d.data(), d.size(), kExporter, templates, decoded, error);
    // Only a cut right after the header or after the template set is sound.
    EXPECT_EQ(ok, n == 16 || n == 16 + kIpfixTemplateSetBytes) << "cut at " << n << ": " << error;
  }
}

TEST(DecodeIpfix, TemplateFloodCannotCrowdOutAnExporterAndEmptyTemplatesAreRefused) {
  // A real exporter's first message (template and data) and second (data only).
  std::vector<std::vector<uint8_t>> real;
  DatagramBuilder builder(
      [&](const uint8_t* d, size_t n) {
        real.emplace_back(d, d + n);
        return static_cast<int64_t>(n);
      },
      ExportFormat::ipfix);
  for (uint64_t t : {0, 1}) builder.add(sampleTcpRecord(), t), builder.sendPending();
  const uint32_t kFlooder = kExporter + 1;
  // One message of `count` one-field templates (ids from `first`), each
  // followed by a data set of one-byte records.
  auto flood = [](uint16_t first, int count, uint16_t element) {
    Bytes m;
    m.header();
    for (int i = 0; i < count; ++i) {
      m.set(kIpfixTemplateSetId).u16(uint16_t(first + i)).u16(1).u16(element).u16(1).close();
      m.set(uint16_t(first + i)).u32(0x01020304).close();
    }
    return m.done();
  };
  struct Step {
    const char* what;
    std::vector<uint8_t> message;
    uint32_t exporter;
    size_t records;
    size_t refused;
  };
  // 4,400 templates from one address, then the real exporter starts.
  std::vector<Step> steps;
  for (int m = 0; m < 11; ++m) {
    steps.push_back({"flood", flood(uint16_t(256 + m * 400), 400, kIeProtocolIdentifier), kFlooder, 1600, 0});
  }
  steps.push_back({"the real exporter's template and data", real[0], kExporter, 1, 0});
  steps.push_back({"the real exporter's data", real[1], kExporter, 1, 0});
  steps.push_back({"templates without a flow field", flood(256, 3000, 210), kFlooder, 0, 3000});
  IpfixTemplates templates;
  for (const Step& s : steps) {
    IpfixMessage decoded;
    std::string error;
    ASSERT_TRUE(decodeIpfixMessage(s.message.data(), s.message.size(), s.exporter, templates, decoded, error))
        << s.what << ": " << error;
    EXPECT_EQ(decoded.records.size(), s.records) << s.what;
    EXPECT_EQ(decoded.refusedTemplates.size(), s.refused) << s.what;
    EXPECT_TRUE(decoded.unknownTemplates.empty() || s.refused != 0) << s.what;
    EXPECT_LE(templates.size(), kMaxIpfixTemplates) << s.what;
  }
  size_t flooders = 0;
  for (const auto& [key, tmpl] : templates) flooders += key.exporter == kFlooder;
  EXPECT_LE(flooders, kMaxIpfixTemplatesPerExporter);
  EXPECT_EQ(templates.count({kExporter, 0, 256}), 1u);
}

}  // namespace
