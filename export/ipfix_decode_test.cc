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
  EXPECT_EQ(r.user(), std::string(300, 'x'));
  EXPECT_EQ(r.processname(), "");
  EXPECT_EQ(r.outif, 1);
  EXPECT_EQ(r.inif, 0);
  EXPECT_EQ(r.firstseen, 0u) << "fields the template lacks stay 0";
  EXPECT_EQ(templates.count({kExporter, 3, 401}), 0u) << "withdrawn";
  EXPECT_EQ(templates.count({kExporter, 3, 300}), 0u) << "options templates are not learned";
  EXPECT_EQ(templates.count({kExporter, 3, 400}), 1u);
}

TEST(DecodeIpfix, RejectsMalformedWithReasonAndLearnsNothing) {
  const std::vector<uint8_t> good = ipfixMessages({sampleTcpRecord()})[0];  // 215 bytes, template set at 16
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
       "IPFIX length field says 216 bytes, the datagram has 215"},
      {"cut in a set header", [&](auto& d) { d.resize(18), setLength(d); },
       "set header at offset 16 runs past the end of the 18-byte message"},
      {"set longer than the message", [&](auto& d) { d.resize(100), setLength(d); },
       "set 2 at offset 16 has length 108, 84 bytes left"},
      {"set length below 4", [](auto& d) { d[19] = 3; }, "set 2 at offset 16 has length 3, 199 bytes left"},
      {"template id below 256", [](auto& d) { d[20] = 0, d[21] = 255; },
       "template record at offset 20 has id 255, below 256"},
      {"more fields than the set holds", [](auto& d) { d[23] = 20; },
       "template 256 at offset 20: field 20 of 20 runs past the end of its set"},
      {"enterprise number cut",
       [&](auto& d) {
         d[19] = 108 - 2;
         d.erase(d.begin() + 16 + 106, d.begin() + 16 + 108);
         setLength(d);
       },
       "template 256 at offset 20: enterprise number of field 19 runs past the end of its set"},
      {"string past the end of the data set", [](auto& d) { d[215 - 14] = 40; },
       "data set of template 256 at offset 124: record 1 runs past the end of its set"},
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
