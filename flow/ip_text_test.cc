#include "flow/ip_text.h"

#include <gtest/gtest.h>

namespace {

TEST(IpToDotted, MostSignificantByteFirst) {
  struct Row {
    uint32_t address;
    const char* text;
  };
  const Row rows[] = {
      {167772161u, "10.0.0.1"},     {0u, "0.0.0.0"},          {0xffffffffu, "255.255.255.255"},
      {0xc0a80001u, "192.168.0.1"}, {0x01000000u, "1.0.0.0"}, {0x0000000au, "0.0.0.10"},
  };
  for (const Row& row : rows) EXPECT_EQ(ipToDotted(row.address), row.text) << "address " << row.address;
}

}  // namespace
