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

}  // namespace
