#include "export/datagram.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "export/datagram_builder.h"
#include "export/sample_records.h"
#include "export/serialize.h"
#include "tests/support/export_recorder.h"

namespace {

TEST(DecodeDatagram, RejectsMalformedWithReason) {
  struct Case {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> change;
    const char* error;
  };
  const Case cases[] = {
      {"empty", [](auto& d) { d.clear(); }, "datagram of 0 bytes is shorter than the 4-byte header"},
      {"3 bytes", [](auto& d) { d.resize(3); }, "datagram of 3 bytes is shorter than the 4-byte header"},
      {"version 1", [](auto& d) { d[1] = 1; }, "version 1, expected 2"},
      {"version little-endian 2", [](auto& d) { d[0] = 2, d[1] = 0; }, "version 512, expected 2"},
      {"count 2, one record", [](auto& d) { d[3] = 2; },
       "record count 2 but the datagram ends after 1 records"},
      {"count 0, one record", [](auto& d) { d[3] = 0; }, "record count 0 but 77 bytes follow the last record"},
      {"one byte too many", [](auto& d) { d.push_back(0); }, "record count 1 but 1 bytes follow the last record"},
      {"cut in fixed fields", [](auto& d) { d.resize(49); },
       "record 1 of 1 at offset 4: fixed fields and domain length need 46 bytes, 45 left"},
      {"cut before domain", [](auto& d) { d.resize(50); },
       "record 1 of 1 at offset 4: domain of 5 bytes runs past the end of the 50-byte datagram"},
      {"cut before user length", [](auto& d) { d.resize(55); },
       "record 1 of 1 at offset 4: user length byte runs past the end of the 55-byte datagram"},
      {"cut in user", [](auto& d) { d.resize(60); },
       "record 1 of 1 at offset 4: user of 5 bytes runs past the end of the 60-byte datagram"},
      {"cut before processname length", [](auto& d) { d.resize(61); },
       "record 1 of 1 at offset 4: processname length byte runs past the end of the 61-byte datagram"},
      {"cut in processname", [](auto& d) { d.resize(80); },
       "record 1 of 1 at offset 4: processname of 19 bytes runs past the end of the 80-byte datagram"},
      {"domain length past the end", [](auto& d) { d[49] = 0xff; },
       "record 1 of 1 at offset 4: domain of 255 bytes runs past the end of the 81-byte datagram"},
      {"second record cut", [](auto& d) {
         d[3] = 2;
         d.insert(d.end(), kSampleDatagram.begin() + 4, kSampleDatagram.begin() + 40);
       },
       "record 2 of 2 at offset 81: fixed fields and domain length need 46 bytes, 36 left"},
      {"direction past a byte", [](auto& d) { d[4 + 28] = 1; },
       "record 1 of 1 at offset 4: inif 256 or outif 1 is above 255"},
      {"over 1400 bytes", [](auto& d) { d.resize(1401); },
       "datagram of 1401 bytes is longer than the 1400-byte limit"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> d = kSampleDatagram;
    c.change(d);
    std::vector<FlowRecord> records(2);
    std::string error;
    EXPECT_FALSE(decodeDatagram(d.data(), d.size(), records, error)) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
    EXPECT_TRUE(records.empty()) << c.name;
  }
}

TEST(DecodeDatagram, EveryTruncationFailsButAHeaderAloneIsSound) {
  std::vector<FlowRecord> records(3);
  std::string error;
  const uint8_t empty[] = {0, 2, 0, 0};
  EXPECT_TRUE(decodeDatagram(empty, sizeof empty, records, error)) << error;
  EXPECT_TRUE(records.empty());
  for (size_t n = 0; n < kSampleDatagram.size(); ++n) {
    // A copy of exactly n bytes, so reading past it shows under a sanitizer.
    std::vector<uint8_t> cut(kSampleDatagram.begin(), kSampleDatagram.begin() + n);
    EXPECT_FALSE(decodeDatagram(cut.data(), cut.size(), records, error)) << n << " bytes";
  }
}

FlowRecord randomRecord(std::mt19937& rng) {
  auto text = [&] {
    std::string s(rng() % 256, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return rng() % 4 == 0 ? std::string() : s;
  };
  FlowRecord r;
  r.srcip = rng(), r.dstip = rng(), r.bytes = int32_t(rng()), r.pkts = int32_t(rng());
  r.firstseen = uint64_t(rng()) << 32 | rng(), r.lastseen = uint64_t(rng()) << 32 | rng();
  r.srcport = uint16_t(rng()), r.dstport = uint16_t(rng()), r.inif = uint16_t(rng()), r.outif = uint16_t(rng());
  r.proto = uint8_t(rng()), r.tos = uint8_t(rng()), r.flags = uint8_t(rng()), r.replydelay = uint16_t(rng());
  r.owner = makeOwner(text(), text(), text());
  return r;
}

TEST(DecodeDatagram, RoundTripOfRandomRecords) {
  const unsigned seed = std::random_device{}();
  std::mt19937 rng(seed);
  std::vector<FlowRecord> sent;
  for (int i = 0; i < 2000; ++i) sent.push_back(randomRecord(rng));
  const auto datagrams = Recorder().send(sent).sent;

  std::vector<FlowRecord> received, records;
  std::string error;
  for (const auto& d : datagrams) {
    ASSERT_LE(d.size(), kMaxDatagramBytes) << "seed " << seed;
    ASSERT_TRUE(decodeDatagram(d.data(), d.size(), records, error)) << error << ", seed " << seed;
    ASSERT_FALSE(records.empty());
    received.insert(received.end(), records.begin(), records.end());
  }
  ASSERT_EQ(received.size(), sent.size()) << "seed " << seed;
  for (size_t i = 0; i < sent.size(); ++i) {
    ASSERT_EQ(fields(received[i]), fields(sent[i])) << "record " << i << ", seed " << seed;
  }
}

}  // namespace
