#include "export/ipfix.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "export/datagram_builder.h"
#include "export/ipfix_decode.h"
#include "export/sample_records.h"
#include "export/serialize.h"
#include "runtime/state.h"
#include "tests/support/export_recorder.h"

namespace {

constexpr uint64_t kWallClock = 1700000002000;  // export time 1700000002 s = 0x6553f102
uint64_t fixedWallClock() { return kWallClock; }

// IPFIX messages kept, with the export time fixed.
struct Messages : Recorder {
  Messages() : Recorder(ExportFormat::ipfix) { builder.wallClockMillis = fixedWallClock; }
};

// sampleTcpRecord() alone in the first message of a run, worked out by hand.
const std::vector<uint8_t> kSampleMessage = {
    // Message header
    0x00, 0x0a,              // version 10
    0x00, 0xe9,              // length 233 = 16 + 124 + 4 + 89
    0x65, 0x53, 0xf1, 0x02,  // export time 1700000002 s
    0x00, 0x00, 0x00, 0x00,  // sequence: no data record before this message
    0x00, 0x00, 0x00, 0x00,  // observation domain 0
    // Template set
    0x00, 0x02, 0x00, 0x7c,  // set id 2, length 124
    0x01, 0x00, 0x00, 0x15,  // template 256, 21 fields
    0x00, 0x08, 0x00, 0x04,  // sourceIPv4Address
    0x00, 0x0c, 0x00, 0x04,  // destinationIPv4Address
    0x00, 0x07, 0x00, 0x02,  // sourceTransportPort
    0x00, 0x0b, 0x00, 0x02,  // destinationTransportPort
    0x00, 0x20, 0x00, 0x02,  // icmpTypeCodeIPv4
    0x00, 0x04, 0x00, 0x01,  // protocolIdentifier
    0x00, 0xc3, 0x00, 0x01,  // ipDiffServCodePoint
    0x00, 0x06, 0x00, 0x02,  // tcpControlBits
    0x00, 0x01, 0x00, 0x08,  // octetDeltaCount
    0x00, 0x02, 0x00, 0x08,  // packetDeltaCount
    0x00, 0x98, 0x00, 0x08,  // flowStartMilliseconds
    0x00, 0x99, 0x00, 0x08,  // flowEndMilliseconds
    0x00, 0x3d, 0x00, 0x01,  // flowDirection
    0x80, 0x04, 0x00, 0x02, 0x00, 0x00, 0x7e, 0xd9,  // reply delay, enterprise 32473
    0x80, 0x01, 0xff, 0xff, 0x00, 0x00, 0x7e, 0xd9,  // process name, variable length
    0x80, 0x02, 0xff, 0xff, 0x00, 0x00, 0x7e, 0xd9,  // user name
    0x80, 0x03, 0xff, 0xff, 0x00, 0x00, 0x7e, 0xd9,  // domain
    0x80, 0x05, 0xff, 0xff, 0x00, 0x00, 0x7e, 0xd9,  // peer name
    0x80, 0x06, 0xff, 0xff, 0x00, 0x00, 0x7e, 0xd9,  // name source
    0x80, 0x07, 0xff, 0xff, 0x00, 0x00, 0x7e, 0xd9,  // service
    0x80, 0x08, 0xff, 0xff, 0x00, 0x00, 0x7e, 0xd9,  // container
    // Data set
    0x01, 0x00, 0x00, 0x5d,  // template 256, length 93
    0xc0, 0xa8, 0x01, 0x0a,  // 192.168.1.10
    0xcb, 0x00, 0x71, 0x05,  // 203.0.113.5
    0xc3, 0x50,              // 50000
    0x01, 0xbb,              // 443
    0x00, 0x00,              // no ICMP type and code
    0x06,                    // TCP
    0x00,                    // DSCP
    0x00, 0x1b,              // flags
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x68,  // 4200 bytes
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0c,  // 12 packets
    0x00, 0x00, 0x01, 0x8b, 0xcf, 0xe5, 0x68, 0x00,  // first seen
    0x00, 0x00, 0x01, 0x8b, 0xcf, 0xe5, 0x6d, 0xdc,  // last seen
    0x01,                                            // outbound
    0x00, 0x23,                                      // reply delay 35
    0x13, 'C', ':', '/', 'T', 'o', 'o', 'l', 's', '/', 'c', 'l', 'i', 'e', 'n', 't', '.', 'e', 'x', 'e',
    0x05, 'a', 'l', 'i', 'c', 'e',
    0x05, 'H', 'O', 'S', 'T', '1',
    0x00,                    // no peer name
    0x00,                    // nor its source
    0x00,                    // no service
    0x00,                    // no container
};

TEST(IpfixMessage, TemplateSetAndRecordAsWorkedOutByHand) {
  Messages r;
  r.builder.add(sampleTcpRecord(), 0);
  ASSERT_TRUE(r.builder.sendPending());
  ASSERT_EQ(r.sent.size(), 1u);
  EXPECT_EQ(r.sent[0], kSampleMessage);
  EXPECT_EQ(kIpfixTemplateSetBytes, 124u);
}

TEST(IpfixRecord, StringLengthPrefixes) {
  struct Case {
    size_t length;          // of the process name
    std::vector<uint8_t> prefix;  // the length bytes written
    size_t written;         // string bytes after them
  };
  const Case cases[] = {
      {0, {0x00}, 0},         {1, {0x01}, 1},           {254, {0xfe}, 254},
      {255, {0xff, 0x00, 0xff}, 255}, {256, {0xff, 0x00, 0xff}, 255},  // cut to 255, as natively
  };
  for (const Case& c : cases) {
    FlowRecord rec = sampleTcpRecord();
    rec.owner = makeOwner(std::string(c.length, 'p'), "", "");
    std::vector<uint8_t> buffer(900, 0xEE);
    const uint16_t length = writeIpfixRecord(rec, buffer.data());
    EXPECT_EQ(length, 53 + c.prefix.size() + c.written + 6) << "process name of " << c.length;
    EXPECT_EQ(ipfixRecordLength(rec), length) << "process name of " << c.length;
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin() + 53, buffer.begin() + 53 + c.prefix.size()), c.prefix)
        << "process name of " << c.length;
    EXPECT_EQ(buffer[length], 0xEE) << "process name of " << c.length;
  }
  // The account keeps its 255 bytes beside a long process name and domain,
  // and is cut shorter only where every string is long.
  const std::string s(300, 's');
  FlowRecord rec = sampleTcpRecord();
  rec.owner = makeOwner(s, s, s);
  std::vector<uint8_t> buffer(1400, 0xEE);
  EXPECT_EQ(writeIpfixRecord(rec, buffer.data()), 53 + 3 * 258 + 4);
  rec.owner = makeOwner(s, s, s, s);
  rec.peer = PeerName::make(s, NameSource::kDns);
  EXPECT_EQ(writeIpfixRecord(rec, buffer.data()), 53 + 258 + 2 * (1 + kIpfixAccountMaxBytes) + 258 + 4 + 258 + 1);
  EXPECT_EQ(buffer[53 + 258], kIpfixAccountMaxBytes);
}

// The fields of the header and sets of a message as the builder sent it.
struct Layout {
  uint32_t sequence;
  bool hasTemplate;
  uint16_t records;
};

Layout layoutOf(const std::vector<uint8_t>& m) {
  Layout l{getU32(&m[8]), getU16(&m[16]) == kIpfixTemplateSetId, 0};
  IpfixTemplates templates;
  IpfixMessage decoded;
  std::string error;
  // Learn the template first, so a message without one decodes too.
  decodeIpfixMessage(kSampleMessage.data(), kSampleMessage.size(), 1, templates, decoded, error);
  EXPECT_TRUE(decodeIpfixMessage(m.data(), m.size(), 1, templates, decoded, error)) << error;
  l.records = static_cast<uint16_t>(decoded.records.size());
  return l;
}

TEST(IpfixBuilder, FillRuleKeepsMessagesWithin1400Bytes) {
  struct Case {
    const char* name;
    size_t records;
    bool longest;               // every string as long as written, or none
    std::vector<size_t> sent;   // message sizes sent
  };
  // A record without strings is 60 bytes, one with the longest strings
  // kIpfixRecordMaxBytes (1155). The first message has 144 bytes of header,
  // template set and data set header; later ones 20.
  const Case cases[] = {
      {"20 records fit the first message", 20, false, {}},
      {"the 21st sends them", 21, false, {144 + 20 * 60}},
      {"later messages take 23", 21 + 23, false, {144 + 20 * 60, 20 + 23 * 60}},
      {"longest records, one per message", 3, true, {144 + 1155, 20 + 1155}},
  };
  for (const Case& c : cases) {
    Messages r;
    for (size_t i = 0; i < c.records; ++i) {
      FlowRecord rec = recordOfLength(48, uint32_t(i));
      const std::string s(c.longest ? 300 : 0, 's');
      if (c.longest) {  // each cut to 255, the account and domain to 128, the container to 64
        rec.owner = makeOwner(s, s, s, s, s);
        rec.peer = PeerName::make(s, NameSource::kQuic);
      }
      rec.outif = 1;
      ASSERT_EQ(ipfixRecordLength(rec), c.longest ? kIpfixRecordMaxBytes : 60) << c.name;
      r.builder.add(rec, 0);
    }
    std::vector<size_t> sizes;
    uint32_t next = 0;
    for (const auto& m : r.sent) {
      sizes.push_back(m.size());
      EXPECT_EQ(layoutOf(m).sequence, next) << c.name;
      next += layoutOf(m).records;
    }
    EXPECT_EQ(sizes, c.sent) << c.name;
    EXPECT_EQ(r.builder.count, c.records - next) << c.name;
  }
}

TEST(IpfixBuilder, TemplateInTheFirstMessageThenEvery30Seconds) {
  struct Step {
    uint64_t at;        // when the message's first record goes in
    bool hasTemplate;
  };
  const Step steps[] = {
      {1000, true},    // first message of the run
      {2000, false},   {30999, false},  // less than 30 s after the last template
      {31000, true},   // 30 s after the last one
      {45000, false},  {61000, true},
  };
  Messages r;
  for (const Step& s : steps) {
    r.builder.add(sampleTcpRecord(), s.at);
    ASSERT_TRUE(r.builder.sendIfStale(s.at + kExportFlushMillis));
    EXPECT_EQ(layoutOf(r.sent.back()).hasTemplate, s.hasTemplate) << "message begun at " << s.at;
  }
  // A new run starts with the template again, whatever the clock says.
  Messages next;
  next.builder.add(sampleTcpRecord(), 45000);
  next.builder.sendPending();
  EXPECT_TRUE(layoutOf(next.sent.back()).hasTemplate);
}

TEST(IpfixBuilder, TemplateLostInAFailedSendGoesInTheNextMessage) {
  Messages r;
  r.reply = -1;
  testing::internal::CaptureStdout();
  r.send({sampleTcpRecord()});
  r.reply = -2;
  r.send({sampleTcpRecord()}).send({sampleTcpRecord()});
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Mismatch in number of bytes sent\n");
  ASSERT_EQ(r.sent.size(), 3u);
  EXPECT_TRUE(layoutOf(r.sent[1]).hasTemplate);
  EXPECT_FALSE(layoutOf(r.sent[2]).hasTemplate);
}

TEST(IpfixBuilder, SequenceNumberWrapsModulo2To32) {
  Messages r;
  r.builder.ipfix.recordsSent = 0xFFFFFFFFu;
  r.send({sampleTcpRecord(), sampleTcpRecord()}).send({sampleTcpRecord()});
  EXPECT_EQ(layoutOf(r.sent[0]).sequence, 0xFFFFFFFFu);
  EXPECT_EQ(layoutOf(r.sent[1]).sequence, 1u);
}

}  // namespace
