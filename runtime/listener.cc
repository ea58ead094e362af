#include "runtime/listener.h"

#include <mutex>

#include "platform/udp_socket.h"
#include "runtime/console.h"
#include "runtime/settings.h"

namespace {

constexpr uint16_t kFamilyIpv4 = 2;
constexpr uint32_t kLoopbackAddress = 0x7f000001;  // 127.0.0.1

// The listenerIP value discovery chose; "" when none. Guarded by
// settingsMutex.
std::string discoveredListenerIP;

// listenerIP when it is the address discovery chose, else "". The caller
// holds settingsMutex.
std::string discoveredLocked() {
  const Json::Value& doc = settings;
  if (discoveredListenerIP.empty() || !doc.isObject()) return std::string();
  const Json::Value& value = doc["listenerIP"];
  return value.isString() && value.asString() == discoveredListenerIP ? discoveredListenerIP : std::string();
}

}  // namespace

bool eligibleListener(uint32_t address) { return address != 0 && address != kLoopbackAddress; }

void noteDiscoveredListenerLocked(const std::string& address) { discoveredListenerIP = address; }

bool listenerDiscovered(const std::string& address) {
  std::lock_guard<std::mutex> lock(settingsMutex);
  return !address.empty() && discoveredLocked() == address;
}

bool listenerMoved(const AdapterList& list, uint32_t address) {
  if (list.allocationFailed || (list.result != kAdaptersOk && list.result != kAdaptersNoData)) return false;
  for (const AdapterInfo& adapter : list.adapters) {
    uint32_t first = 0;
    bool holds = false;
    for (const AdapterUnicast& u : adapter.unicast) {
      if (u.family != kFamilyIpv4) continue;
      if (first == 0 && eligibleListener(u.ipv4)) first = u.ipv4;
      holds = holds || u.ipv4 == address;
    }
    if (holds) return first != address;
  }
  return true;
}

bool followDiscoveredListener(const AdapterList& list) {
  std::string gone;
  {
    std::lock_guard<std::mutex> lock(settingsMutex);
    const std::string listener = discoveredLocked();
    uint32_t address = 0;
    if (listener.empty() || !ipv4FromText(listener, address) || !listenerMoved(list, address)) return false;
    settings["listenerIP"] = "";
    discoveredListenerIP.clear();
    gone = listener;
  }
  consolePrintf("Listener %s from discovery is no longer the address of its interface; discovery chooses again\n",
                gone.c_str());
  return true;
}
