// Picking the watched interface's IPv6 addresses out of made-up adapter lists.
#include "capture/interface_addresses.h"

#include <gtest/gtest.h>

namespace {

constexpr uint32_t kA = 0x0ace0001, kB = 0x0ace0007, kLoop = 0x7f000001;  // 10.206.0.1, 10.206.0.7

AdapterUnicast6 address6(uint8_t first, uint8_t second, uint8_t last, uint32_t scope = 0) {
  AdapterUnicast6 u;
  u.address.bytes[0] = first;
  u.address.bytes[1] = second;
  u.address.bytes[15] = last;
  u.scopeId = scope;
  return u;
}

AdapterInfo adapterOf(std::vector<uint32_t> ipv4, std::vector<AdapterUnicast6> ipv6) {
  AdapterInfo a;
  for (uint32_t address : ipv4) a.unicast.push_back(AdapterUnicast{2, address});
  a.unicast6 = std::move(ipv6);
  return a;
}

// The set comes from the adapter holding the listener, whatever place the
// listener has there; a list that cannot be used changes nothing.
TEST(InterfaceAddresses, TheListenersAdapterGivesTheSet) {
  const AdapterUnicast6 linkLocal = address6(0xfe, 0x80, 1, 7), global = address6(0x20, 0x01, 2),
                        other = address6(0x20, 0x01, 9);
  AdapterList list;
  list.adapters = {adapterOf({kLoop}, {}), adapterOf({kB, kA}, {linkLocal, global}), adapterOf({0x0ace0009}, {other})};
  std::vector<AdapterUnicast6> got;
  ASSERT_TRUE(listenerAddresses6(list, kA, got));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_TRUE(got[0].address == linkLocal.address && got[0].scopeId == 7);
  EXPECT_TRUE(got[1].address == global.address);

  AdapterList unreadable;
  unreadable.result = 5;
  EXPECT_FALSE(listenerAddresses6(list, 0x0ace0063, got)) << "no adapter holds it";
  EXPECT_FALSE(listenerAddresses6(unreadable, kA, got)) << "the list could not be read";
  EXPECT_EQ(got.size(), 2u);
  ASSERT_TRUE(listenerAddresses6(list, 0x0ace0009, got));
  EXPECT_EQ(got.size(), 1u);
}

// A global address before any link-local one, wherever it stands.
TEST(InterfaceAddresses, BindAddressPrefersGlobal) {
  const AdapterUnicast6 linkLocal = address6(0xfe, 0x80, 1, 7), global = address6(0x20, 0x01, 2),
                        other = address6(0x20, 0x01, 9);
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
    const AdapterUnicast6* chosen = captureBindAddress6(row.addresses);
    EXPECT_EQ(chosen, row.chosen < 0 ? nullptr : &row.addresses[row.chosen]) << row.name;
  }
}

}  // namespace
