// Picking the watched interface's IPv6 addresses out of made-up adapter lists.
#include "capture/interface_addresses.h"

#include <gtest/gtest.h>

namespace {

AdapterUnicast6 address6(uint8_t first, uint8_t second, uint8_t last) {
  AdapterUnicast6 u;
  u.address.bytes[0] = first;
  u.address.bytes[1] = second;
  u.address.bytes[15] = last;
  return u;
}

// The set is the listener's adapter's, and a list that cannot be used keeps
// the last one; the bind address is a global one before any link-local one.
TEST(InterfaceAddresses, SetOfTheListenersAdapterAndTheAddressToBindTo) {
  const AdapterUnicast6 linkLocal = address6(0xfe, 0x80, 1), global = address6(0x20, 0x01, 2),
                        other = address6(0x20, 0x01, 9);
  AdapterList list;
  list.adapters.resize(2);
  list.adapters[0].unicast = {{2, 0x7f000001}};
  list.adapters[0].unicast6 = {other};
  list.adapters[1].unicast = {{2, 0x0ace0007}, {2, 0x0ace0001}};
  list.adapters[1].unicast6 = {linkLocal, global};
  std::vector<AdapterUnicast6> got;
  ASSERT_TRUE(listenerAddresses6(list, 0x0ace0001, got));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(captureBindAddress6(got), &got[1]);
  list.result = 5;  // could not be read
  EXPECT_FALSE(listenerAddresses6(list, 0x7f000001, got));
  EXPECT_EQ(got.size(), 2u);

  AdapterUnicast6 mapped;
  mapped.address.bytes[10] = mapped.address.bytes[11] = 0xff;
  const struct {
    const char* name;
    std::vector<AdapterUnicast6> addresses;
    int chosen;  // index; -1: none
  } rows[] = {
      {"none", {}, -1},
      {"link-local only", {linkLocal}, 0},
      {"global after link-local", {linkLocal, global, other}, 1},
      {"neither unspecified nor mapped", {AdapterUnicast6{}, mapped}, -1},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(captureBindAddress6(row.addresses), row.chosen < 0 ? nullptr : &row.addresses[row.chosen]) << row.name;
  }
}

}  // namespace
