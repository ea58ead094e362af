// Linux adapters: getifaddrs for the interfaces, their flags, hardware
// addresses (AF_PACKET entries) and IPv4 and IPv6 addresses; SIOCGIFMTU for the MTU;
// /sys/class/net/<name>/ for the operational state, link speed and alias.
// Interfaces come in interface-index order.
#include "platform/adapters.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace {

// The first line of /sys/class/net/<name>/<attribute>, without its line
// break; false when it cannot be read (some attributes refuse reading while
// the link is down, or on virtual links).
bool readNetAttribute(const std::string& name, const char* attribute, std::string& value) {
  const std::string path = "/sys/class/net/" + name + "/" + attribute;
  FILE* f = fopen(path.c_str(), "r");
  if (!f) return false;
  char line[256];
  const bool ok = fgets(line, sizeof line, f) != nullptr;
  fclose(f);
  if (!ok) return false;
  value = line;
  while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
  return true;
}

// The kernel's operstate word as the interface-MIB number Windows also uses.
uint32_t operStatusOf(const std::string& word) {
  static const struct {
    const char* word;
    uint32_t status;
  } table[] = {{"up", 1},      {"down", 2},       {"testing", 3},        {"unknown", 4},
               {"dormant", 5}, {"notpresent", 6}, {"lowerlayerdown", 7}};
  for (const auto& row : table) {
    if (word == row.word) return row.status;
  }
  return 0;
}

// Link speed in bits per second from the Mb/s the kernel reports; 0 when the
// kernel does not know it (no file, read error, -1).
uint64_t linkSpeedOf(const std::string& name) {
  std::string text;
  if (!readNetAttribute(name, "speed", text)) return 0;
  char* end = nullptr;
  const long long mbits = strtoll(text.c_str(), &end, 10);
  if (end == text.c_str() || mbits <= 0) return 0;
  return static_cast<uint64_t>(mbits) * 1000000u;
}

uint32_t mtuOf(const std::string& name) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  struct ifreq req;
  memset(&req, 0, sizeof req);
  strncpy(req.ifr_name, name.c_str(), IFNAMSIZ - 1);
  uint32_t mtu = 0;
  if (ioctl(fd, SIOCGIFMTU, &req) == 0 && req.ifr_mtu > 0) mtu = static_cast<uint32_t>(req.ifr_mtu);
  close(fd);
  return mtu;
}

// The interface an address label ("eth0:1") belongs to.
std::string baseName(const char* label) {
  std::string name = label;
  const size_t colon = name.find(':');
  if (colon != std::string::npos) name.resize(colon);
  return name;
}

struct Found {
  AdapterInfo info;
  bool hasIpv6 = false;
};

Found& entryFor(std::map<uint32_t, Found>& byIndex, uint32_t index, const std::string& name,
                unsigned flags) {
  Found& f = byIndex[index];
  if (f.info.adapterName.empty()) {
    f.info.ifIndex = index;
    f.info.adapterName = name;
    f.info.friendlyName = name;
    f.info.flags = flags;
  }
  return f;
}

}  // namespace

AdapterList listAdapters() {
  AdapterList list;
  struct ifaddrs* all = nullptr;
  if (getifaddrs(&all) != 0) {
    list.result = static_cast<uint32_t>(errno);
    list.errorText = std::string(strerror(errno)) + "\n";
    return list;
  }

  std::map<uint32_t, Found> byIndex;
  size_t ipv4Count = 0;
  for (struct ifaddrs* a = all; a != nullptr; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_name == nullptr) continue;
    const std::string name = baseName(a->ifa_name);
    const int family = a->ifa_addr->sa_family;
    if (family == AF_PACKET) {
      const auto* ll = reinterpret_cast<const struct sockaddr_ll*>(a->ifa_addr);
      Found& f = entryFor(byIndex, static_cast<uint32_t>(ll->sll_ifindex), name, a->ifa_flags);
      f.info.ifType = ll->sll_hatype;
      const size_t halen = std::min<size_t>(ll->sll_halen, sizeof ll->sll_addr);
      const bool nonzero = std::any_of(ll->sll_addr, ll->sll_addr + halen, [](uint8_t b) { return b != 0; });
      if (halen > 0 && nonzero) f.info.physicalAddress.assign(ll->sll_addr, ll->sll_addr + halen);
      continue;
    }
    if (family != AF_INET && family != AF_INET6) continue;
    const unsigned index = if_nametoindex(name.c_str());
    if (index == 0) continue;
    Found& f = entryFor(byIndex, index, name, a->ifa_flags);
    if (family == AF_INET6) {
      f.hasIpv6 = true;
      const auto* in6 = reinterpret_cast<const struct sockaddr_in6*>(a->ifa_addr);
      f.info.unicast6.push_back(
          AdapterUnicast6{Ip6Address::fromBytes(in6->sin6_addr.s6_addr), in6->sin6_scope_id});
      continue;
    }
    const auto* in = reinterpret_cast<const struct sockaddr_in*>(a->ifa_addr);
    f.info.unicast.push_back(AdapterUnicast{AF_INET, ntohl(in->sin_addr.s_addr)});
    ++ipv4Count;
  }
  freeifaddrs(all);

  if (ipv4Count == 0) {
    list.result = kAdaptersNoData;
    return list;
  }
  for (auto& [index, f] : byIndex) {
    AdapterInfo& info = f.info;
    info.mtu = mtuOf(info.adapterName);
    std::string text;
    if (readNetAttribute(info.adapterName, "operstate", text)) info.operStatus = operStatusOf(text);
    if (readNetAttribute(info.adapterName, "ifalias", text)) info.description = text;
    info.transmitLinkSpeed = info.receiveLinkSpeed = linkSpeedOf(info.adapterName);
    if (f.hasIpv6) info.ipv6IfIndex = index;
    list.adapters.push_back(std::move(info));
  }
  return list;
}
