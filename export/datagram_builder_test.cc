#include "export/datagram_builder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "export/datagram.h"
#include "export/sample_records.h"
#include "runtime/state.h"
#include "tests/support/export_recorder.h"

namespace {

std::string describe(const std::vector<size_t>& lengths) {
  std::string s;
  for (size_t n : lengths) s += std::to_string(n) + " ";
  return s;
}

TEST(DatagramBuilder, FillRule) {
  struct Case {
    std::vector<size_t> lengths;  // wire lengths of the records added, in order
    std::vector<size_t> sent;     // sizes of the datagrams sent
    size_t fill;                  // bytes left in the buffer
  };
  auto times = [](size_t n, size_t length) { return std::vector<size_t>(n, length); };
  auto plus = [](std::vector<size_t> a, std::vector<size_t> b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const Case cases[] = {
      {times(29, 48), {}, 1396},                             // 29 ICMP records fill 1396 bytes
      {times(30, 48), {1396}, 52},                           // the 30th sends them and starts the next
      {plus(times(28, 48), {52}), {}, 1400},                 // exactly 1400 stays
      {plus(times(28, 48), {52, 48}), {1400}, 52},           // until the next record comes
      {plus(times(28, 48), {53}), {1348}, 57},               // 1401 would be too many
      {{813, 813}, {817}, 817},                              // the largest records, one per datagram
      {times(60, 48), {1396, 1396}, 100},
  };
  for (const Case& c : cases) {
    Recorder r;
    for (size_t i = 0; i < c.lengths.size(); ++i) r.builder.add(recordOfLength(c.lengths[i], uint32_t(i)), 0);
    std::vector<size_t> sizes;
    uint32_t next = 0;
    for (const auto& d : r.sent) {
      sizes.push_back(d.size());
      std::vector<FlowRecord> records;
      std::string error;
      ASSERT_TRUE(decodeDatagram(d.data(), d.size(), records, error)) << error << " for " << describe(c.lengths);
      for (const FlowRecord& rec : records) EXPECT_EQ(rec.srcip, next++) << "order, for " << describe(c.lengths);
    }
    EXPECT_EQ(sizes, c.sent) << "for " << describe(c.lengths);
    EXPECT_EQ(r.builder.fill, c.fill) << "for " << describe(c.lengths);
  }
}

TEST(DatagramBuilder, SampleRecordAloneIsTheSampleDatagram) {
  Recorder r;
  r.builder.add(sampleTcpRecord(), 0);
  EXPECT_TRUE(r.builder.sendPending());
  ASSERT_EQ(r.sent.size(), 1u);
  EXPECT_EQ(r.sent[0], kSampleDatagram);
  EXPECT_FALSE(r.builder.sendPending()) << "an empty buffer is not sent";
}

TEST(DatagramBuilder, PartlyFilledDatagramLeavesAfterOneSecond) {
  Recorder r;
  EXPECT_FALSE(r.builder.sendIfStale(1000000)) << "nothing to send";
  r.builder.add(recordOfLength(48, 0), 5000);
  r.builder.add(recordOfLength(48, 1), 5900);
  EXPECT_FALSE(r.builder.sendIfStale(5999));
  EXPECT_TRUE(r.sent.empty());
  EXPECT_TRUE(r.builder.sendIfStale(6000)) << "first record written 1000 ms ago";
  ASSERT_EQ(r.sent.size(), 1u);
  EXPECT_EQ(r.sent[0][3], 2);

  // After a send by the fill rule the clock starts at the record that sent it.
  for (uint32_t i = 0; i < 29; ++i) r.builder.add(recordOfLength(48, i), 10000);
  r.builder.add(recordOfLength(48, 29), 10900);
  ASSERT_EQ(r.sent.size(), 2u);
  EXPECT_FALSE(r.builder.sendIfStale(11899));
  EXPECT_TRUE(r.builder.sendIfStale(11900));
  EXPECT_EQ(r.sent.size(), 3u);
}

TEST(DatagramBuilder, ShortOrFailedSendIsReportedAndCounted) {
  for (int64_t reply : {int64_t(-1), int64_t(0), int64_t(80), int64_t(82), int64_t(-2)}) {
    Recorder r;
    r.reply = reply;
    const int32_t before = exportsSent;
    r.builder.add(sampleTcpRecord(), 0);
    testing::internal::CaptureStdout();
    r.builder.sendPending();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, reply == -2 ? "" : "Mismatch in number of bytes sent\n") << "send reported " << reply;
    EXPECT_EQ(exportsSent - before, 1) << "send reported " << reply;
    EXPECT_EQ(r.builder.count, 0);
    EXPECT_EQ(r.builder.fill, 4);
  }
}

}  // namespace
