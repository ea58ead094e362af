#include "discovery/discovery.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "flow/ip_text.h"
#include "runtime/console.h"
#include "runtime/listener.h"
#include "runtime/settings.h"
#include "runtime/state.h"

namespace {

constexpr uint16_t kFamilyIpv4 = 2;

std::string format(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

std::string format(const char* fmt, ...) {
  char buf[512];
  va_list args;
  va_start(args, fmt);
  const int n = vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof buf) return std::string(buf, static_cast<size_t>(n));
  std::string big(static_cast<size_t>(n) + 1, '\0');
  va_start(args, fmt);
  vsnprintf(big.data(), big.size(), fmt, args);
  va_end(args);
  big.resize(static_cast<size_t>(n));
  return big;
}

// "Number of X Addresses: n" or "No X Addresses".
std::string countLine(const char* what, uint32_t count) {
  if (count == 0) return format("\tNo %s Addresses\n", what);
  return format("\tNumber of %s Addresses: %d\n", what, static_cast<int>(count));
}

// One IPv4 unicast entry at `position`: its line, its place in `ips` and the
// listener decision. `out` holds report text not yet written; it is written
// before the settings are consulted, so any line the settings read prints
// lands in order.
void reportAddress(uint32_t address, size_t position, Json::Value& member, std::string& out,
                   const DiscoveryIo& io) {
  const std::string dotted = ipToDotted(address);
  const int32_t asNumber = static_cast<int32_t>(address);
  out += format("\tIPV4:%s %i\n", dotted.c_str(), asNumber);
  member["ips"][static_cast<Json::ArrayIndex>(position)] = dotted;

  if (!eligibleListener(address)) {
    out += format("\nNot Setting listener from discovery to \tIPV4:%s %i\n", dotted.c_str(), asNumber);
    return;
  }
  io.write(out);
  out.clear();
  if (io.listenerEmpty() && io.takeListener(dotted)) {
    out += format("\nSetting listener from discovery to \tIPV4:%s %i\n", dotted.c_str(), asNumber);
  } else {
    out += "\nNot Setting listener from discovery as its defined in the configuration file";
  }
}

void reportAdapter(const AdapterInfo& a, Json::Value& interfaces, const DiscoveryIo& io) {
  Json::Value& member = interfaces["if_" + std::to_string(a.ifIndex)];
  if (member.isNull()) member = Json::Value(Json::objectValue);

  std::string out;
  out += format("\tLength of the IP_ADAPTER_ADDRESS struct: %d\n", static_cast<int32_t>(a.length));
  out += format("\tIfIndex (IPv4 interface): %u\n", a.ifIndex);
  out += format("\tAdapter name: %s\n", a.adapterName.c_str());
  for (size_t i = 0; i < a.unicast.size(); ++i) {
    if (a.unicast[i].family == kFamilyIpv4) reportAddress(a.unicast[i].ipv4, i, member, out, io);
  }
  // The IPv6 addresses as they stand now: they come and go more than IPv4
  // ones (temporary addresses), so the list is replaced, not added to.
  Json::Value ips6(Json::arrayValue);
  for (const AdapterUnicast6& u : a.unicast6) ips6.append(ip6Text(u.address));
  member["ips6"] = std::move(ips6);
  out += countLine("Unicast", static_cast<uint32_t>(a.unicast.size()));
  out += countLine("Anycast", a.anycastCount);
  out += countLine("Multicast", a.multicastCount);
  out += countLine("DNS Server", a.dnsServerCount);
  out += format("\tDNS Suffix: %s\n", a.dnsSuffix.c_str());
  out += format("\tDescription: %s\n", a.description.c_str());
  out += format("\tFriendly name: %s\n", a.friendlyName.c_str());
  if (!a.physicalAddress.empty()) {
    out += "\tPhysical address: ";
    for (size_t i = 0; i < a.physicalAddress.size(); ++i) {
      out += format(i + 1 < a.physicalAddress.size() ? "%.2X-" : "%.2X\n", a.physicalAddress[i]);
    }
    member["mac"] = macText(a.physicalAddress);
  }
  out += format("\tFlags: %d\n", static_cast<int32_t>(a.flags));
  out += format("\tMtu: %u\n", a.mtu);
  out += format("\tIfType: %d\n", static_cast<int32_t>(a.ifType));
  out += format("\tOperStatus: %d\n", static_cast<int32_t>(a.operStatus));
  out += format("\tIpv6IfIndex (IPv6 interface): %u\n", a.ipv6IfIndex);
  out += "\tZoneIndices (hex): ";
  for (uint32_t zone : a.zoneIndices) out += format("%x ", zone);
  out += "\n";
  out += format("\tTransmit link speed: %" PRIu64 "\n", a.transmitLinkSpeed);
  out += format("\tReceive link speed: %" PRIu64 "\n", a.receiveLinkSpeed);
  out += format("\tNumber of IP Adapter Prefix entries: %d\n", static_cast<int>(a.prefixCount));
  out += "\n";
  io.write(out);
}

// The settings side of a run in this process. listenerEmpty remembers the
// value it saw so takeListener changes the setting only if it still holds it.
struct ListenerSetting {
  Json::Value seen;

  bool empty() {
    Json::Value one(Json::objectValue);
    {
      std::lock_guard<std::mutex> lock(settingsMutex);
      if (!settings.isObject() || !settings.isMember("listenerIP")) return false;
      seen = settings["listenerIP"];
    }
    one["listenerIP"] = seen;
    return listenerIsEmpty(one);
  }

  bool take(const std::string& address) {
    std::lock_guard<std::mutex> lock(settingsMutex);
    if (!settings.isObject() || !settings.isMember("listenerIP") || settings["listenerIP"] != seen) {
      return false;
    }
    settings["listenerIP"] = address;
    noteDiscoveredListenerLocked(address);
    return true;
  }
};

}  // namespace

bool listenerIsEmpty(const Json::Value& settingsDoc) {
  if (!settingsDoc.isObject() || !settingsDoc.isMember("listenerIP")) return false;
  return readStringMember(settingsDoc, "listenerIP", "").empty();
}

std::string macText(const std::vector<uint8_t>& bytes) {
  std::string text;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) text += ":";
    text += format("%x", bytes[i]);
  }
  return text;
}

bool runDiscovery(const std::function<AdapterList()>& fetch, Json::Value& interfaces, const DiscoveryIo& io) {
  io.write("Calling GetAdaptersAddresses function with family = ");
  io.write("AF_INET\n");
  const AdapterList list = fetch();
  if (list.allocationFailed) {
    io.write("Memory allocation failed for IP_ADAPTER_ADDRESSES struct\n");
    return true;
  }
  if (io.followListener) io.followListener(list);
  if (list.result != kAdaptersOk) {
    io.write(format("Call to GetAdaptersAddresses failed with error: %d\n", static_cast<int>(list.result)));
    if (list.result == kAdaptersNoData) {
      io.write("\tNo addresses were found for the requested parameters\n");
      return false;
    }
    if (list.errorText.empty()) return false;
    io.write(format("\tError: %s", list.errorText.c_str()));
    return true;
  }
  if (!interfaces.isObject()) interfaces = Json::Value(Json::objectValue);
  for (const AdapterInfo& adapter : list.adapters) reportAdapter(adapter, interfaces, io);
  return false;
}

void discoverInterfaces() {
  ListenerSetting listener;
  DiscoveryIo io;
  io.write = [](const std::string& text) { consoleWrite(text); };
  io.listenerEmpty = [&listener] { return listener.empty(); };
  io.takeListener = [&listener](const std::string& address) { return listener.take(address); };
  io.followListener = [](const AdapterList& list) { followDiscoveredListener(list); };

  // Discovery is the only writer of the record, and its runs never overlap
  // (main's run ends before the capture thread starts), so a copy is updated
  // without the lock and stored back under it.
  Json::Value found = interfacesSnapshot();
  if (runDiscovery(listAdapters, found, io)) {
    consoleRelease();  // lines a supervisor held must not go with the process
    exit(1);
  }
  std::lock_guard<std::mutex> lock(interfacesMutex);
  interfacesDiscovered = std::move(found);
}
