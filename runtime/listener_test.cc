// The listener's origin: when a discovered one has left its interface (made-up
// adapter lists), and that a configured one is never dropped.
#include "runtime/listener.h"

#include <gtest/gtest.h>

#include "runtime/settings.h"

namespace {

constexpr uint32_t kA = 0x0ace0001, kB = 0x0ace0007, kLoop = 0x7f000001;  // 10.206.0.1, 10.206.0.7

AdapterList listOf(std::vector<std::vector<uint32_t>> adapters, uint32_t result = kAdaptersOk) {
  AdapterList list;
  list.result = result;
  for (const auto& addresses : adapters) {
    list.adapters.emplace_back();
    for (uint32_t address : addresses) list.adapters.back().unicast.push_back(AdapterUnicast{2, address});
  }
  return list;
}

TEST(Listener, MovedWhenGoneOrNoLongerFirstOnItsAdapter) {
  const struct {
    const char* name;
    AdapterList list;
    bool moved;
  } rows[] = {
      {"first on its adapter", listOf({{kLoop}, {kA, kB}}), false},
      {"after loopback's 127.0.0.1", listOf({{kLoop, kA}}), false},
      {"replaced", listOf({{kLoop}, {kB}}), true},
      {"another address first", listOf({{kB, kA}}), true},
      {"no adapter has IPv4", listOf({}, kAdaptersNoData), true},
      {"the list could not be read", listOf({}, 5), false},
  };
  for (const auto& row : rows) EXPECT_EQ(listenerMoved(row.list, kA), row.moved) << row.name;
}

// Discovery chose 10.206.0.1, then a settings request set another address:
// that one is configured now and stays, although no adapter holds it.
TEST(Listener, AConfiguredListenerIsNeverDropped) {
  {
    std::lock_guard<std::mutex> lock(settingsMutex);
    noteDiscoveredListenerLocked("10.206.0.1");
    settings["listenerIP"] = "10.206.0.9";
  }
  EXPECT_FALSE(followDiscoveredListener(listOf({{kLoop}, {kB}})));
  EXPECT_EQ(settingValue("listenerIP"), Json::Value("10.206.0.9"));
}

AdapterUnicast6 address6(uint8_t first, uint8_t second, uint8_t last, uint32_t scope = 0) {
  AdapterUnicast6 u;
  u.address.bytes[0] = first;
  u.address.bytes[1] = second;
  u.address.bytes[15] = last;
  u.scopeId = scope;
  return u;
}

// The IPv6 set comes from the adapter holding the listener, whichever place
// it has there; the bind address prefers a global one to a link-local one.
TEST(Listener, IPv6AddressesOfTheListenersAdapterAndTheOneToBindTo) {
  const AdapterUnicast6 linkLocal = address6(0xfe, 0x80, 1, 7), global = address6(0x20, 0x01, 2),
                        other = address6(0x20, 0x01, 9);
  AdapterList list = listOf({{kLoop}, {kB, kA}, {0x0ace0009}});
  list.adapters[1].unicast6 = {linkLocal, global};
  list.adapters[2].unicast6 = {other};
  std::vector<AdapterUnicast6> got;
  ASSERT_TRUE(listenerAddresses6(list, kA, got));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_TRUE(got[0].address == linkLocal.address && got[0].scopeId == 7);
  EXPECT_TRUE(got[1].address == global.address);
  EXPECT_EQ(captureBindAddress6(got), &got[1]);
  EXPECT_FALSE(listenerAddresses6(list, 0x0ace0063, got)) << "no adapter holds it";
  EXPECT_FALSE(listenerAddresses6(listOf({}, 5), kA, got)) << "the list could not be read";
  EXPECT_EQ(got.size(), 2u);

  AdapterUnicast6 mapped;
  mapped.address.bytes[10] = mapped.address.bytes[11] = 0xff;
  const struct {
    const char* name;
    std::vector<AdapterUnicast6> addresses;
    int chosen;  // index, -1 none
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
