#include "export/serialize.h"

#include <gtest/gtest.h>

#include <vector>

#include "export/sample_records.h"

namespace {

constexpr uint8_t kUntouched = 0xEE;

std::vector<uint8_t> freshBuffer() { return std::vector<uint8_t>(kMaxDatagramBytes + 16, kUntouched); }

std::string repeat(size_t n, char first) {
  std::string s(n, 'a');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(first + i % 26);
  return s;
}

TEST(SerializeRecord, StringLengthsAndCuts) {
  struct Case {
    const char* name;
    std::string processname, user, domain;
    uint16_t length;
  };
  const Case cases[] = {
      {"all empty", "", "", "", 48},
      {"user of 255 bytes", "", repeat(255, 'a'), "", 48 + 255},
      {"user of 300 bytes cut to 255", "", repeat(300, 'a'), "", 48 + 255},
      {"three strings of 256", repeat(256, 'a'), repeat(256, 'b'), repeat(256, 'c'), 48 + 3 * 255},
      {"bytes 0 and 0xff", std::string("\0\xff", 2), "", std::string(1, '\0'), 48 + 3},
  };
  for (const Case& c : cases) {
    FlowRecord r;
    r.owner = makeOwner(c.processname, c.user, c.domain);
    std::vector<uint8_t> buf = freshBuffer();
    const int16_t offset = 4;
    ASSERT_EQ(serializeRecord(r, offset, buf.data()), c.length) << c.name;
    EXPECT_EQ(recordLength(r), c.length) << c.name;
    // Walk the strings as a reader would: each length byte, then its bytes.
    size_t at = offset + 45;
    for (const std::string* s : {&c.domain, &c.user, &c.processname}) {
      const size_t expected = std::min<size_t>(s->size(), 255);
      ASSERT_EQ(buf[at], expected) << c.name;
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(&buf[at + 1]), expected), s->substr(0, expected))
          << c.name;
      at += 1 + expected;
    }
    EXPECT_EQ(at, size_t(offset) + c.length) << c.name;
    EXPECT_EQ(buf[at], kUntouched) << c.name << ": wrote past the record";
  }
}

}  // namespace
