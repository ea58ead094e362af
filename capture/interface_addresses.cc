#include "capture/interface_addresses.h"

namespace {

constexpr uint16_t kFamilyIpv4 = 2;

}  // namespace

bool listenerAddresses6(const AdapterList& list, uint32_t address, std::vector<AdapterUnicast6>& out) {
  if (list.allocationFailed || (list.result != kAdaptersOk && list.result != kAdaptersNoData)) return false;
  for (const AdapterInfo& adapter : list.adapters) {
    for (const AdapterUnicast& u : adapter.unicast) {
      if (u.family == kFamilyIpv4 && u.ipv4 == address) {
        out = adapter.unicast6;
        return true;
      }
    }
  }
  return false;
}

const AdapterUnicast6* captureBindAddress6(const std::vector<AdapterUnicast6>& addresses) {
  const AdapterUnicast6* linkLocal = nullptr;
  for (const AdapterUnicast6& u : addresses) {
    if (u.address.unspecified() || u.address.v4Mapped()) continue;
    if (!u.address.linkLocal()) return &u;
    if (linkLocal == nullptr) linkLocal = &u;
  }
  return linkLocal;
}
