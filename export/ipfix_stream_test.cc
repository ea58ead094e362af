#include "export/ipfix_stream.h"

#include <gtest/gtest.h>

#include "export/sample_records.h"
#include "tests/support/export_recorder.h"

namespace {

TEST(IpfixStream, MessagesComeWholeHoweverTheStreamIsCut) {
  // Three messages of the monitor's, one after the other on the stream.
  Recorder run(ExportFormat::ipfix);
  const auto& sent = run.send({sampleTcpRecord()}).send({sampleTcpRecord(), sampleTcpRecord()}).send({}).sent;
  std::vector<uint8_t> stream;
  for (const auto& m : sent) stream.insert(stream.end(), m.begin(), m.end());
  for (size_t piece : {size_t(1), size_t(3), size_t(4), size_t(17), size_t(100), stream.size()}) {
    IpfixStreamReader reader;
    std::vector<std::vector<uint8_t>> got;
    std::string error;
    for (size_t at = 0; at < stream.size(); at += piece) {
      ASSERT_TRUE(readIpfixStream(
          reader, stream.data() + at, std::min(piece, stream.size() - at),
          [&](const uint8_t* m, size_t size) { got.emplace_back(m, m + size); }, error))
          << "pieces of " << piece << ": " << error;
    }
    EXPECT_EQ(got, sent) << "pieces of " << piece;
    EXPECT_TRUE(reader.pending.empty()) << "pieces of " << piece;
  }

  // Junk after a good message: the good one is handed over, then the reason.
  struct Case {
    std::vector<uint8_t> junk;
    const char* error;
  };
  const Case cases[] = {
      {{0, 9, 0, 40}, "version 9, expected 10"},
      {{'G', 'E', 'T', ' '}, "version 18245, expected 10"},
      {{0, 10, 0, 15}, "IPFIX length field says 15 bytes, below the 16-byte header"},
  };
  for (const Case& c : cases) {
    for (size_t piece : {size_t(1), size_t(1000)}) {
      std::vector<uint8_t> bytes = sent[0];
      bytes.insert(bytes.end(), c.junk.begin(), c.junk.end());
      IpfixStreamReader reader;
      size_t messages = 0;
      std::string error;
      bool ok = true;
      for (size_t at = 0; ok && at < bytes.size(); at += piece) {
        ok = readIpfixStream(reader, bytes.data() + at, std::min(piece, bytes.size() - at),
                             [&](const uint8_t*, size_t) { ++messages; }, error);
      }
      EXPECT_FALSE(ok) << c.error;
      EXPECT_EQ(error, c.error);
      EXPECT_EQ(messages, 1u) << c.error;
    }
  }
}

}  // namespace
