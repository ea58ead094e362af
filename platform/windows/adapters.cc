// Windows adapters: GetAdaptersAddresses for IPv4 with prefixes, into a
// process-heap buffer that starts at 15000 bytes and is regrown to the size
// the call asks for, at most three calls in all. FormatMessageA gives the
// text of any other error. Wide texts are turned into UTF-8. A second
// listing, of IPv6 alone, gives each adapter's IPv6 addresses (matched by
// adapter name), so that everything taken from the first stays as it is.
#include "platform/adapters.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>

#include <map>

namespace {

constexpr ULONG kFirstBufferBytes = 15000;
constexpr int kMostCalls = 3;

std::string utf8(const wchar_t* text) {
  if (text == nullptr || *text == L'\0') return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

template <typename Entry>
uint32_t lengthOf(const Entry* first) {
  uint32_t n = 0;
  for (const Entry* e = first; e != nullptr; e = e->Next) ++n;
  return n;
}

AdapterInfo adapterOf(const IP_ADAPTER_ADDRESSES& a) {
  AdapterInfo info;
  info.length = a.Length;
  info.ifIndex = a.IfIndex;
  info.adapterName = a.AdapterName ? a.AdapterName : "";
  for (const IP_ADAPTER_UNICAST_ADDRESS* u = a.FirstUnicastAddress; u != nullptr; u = u->Next) {
    AdapterUnicast entry;
    const SOCKADDR* address = u->Address.lpSockaddr;
    entry.family = address ? address->sa_family : 0;
    if (entry.family == AF_INET) {
      entry.ipv4 = ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
    }
    info.unicast.push_back(entry);
  }
  info.anycastCount = lengthOf(a.FirstAnycastAddress);
  info.multicastCount = lengthOf(a.FirstMulticastAddress);
  info.dnsServerCount = lengthOf(a.FirstDnsServerAddress);
  info.prefixCount = lengthOf(a.FirstPrefix);
  info.dnsSuffix = utf8(a.DnsSuffix);
  info.description = utf8(a.Description);
  info.friendlyName = utf8(a.FriendlyName);
  const ULONG hardwareLength = a.PhysicalAddressLength < MAX_ADAPTER_ADDRESS_LENGTH
                                   ? a.PhysicalAddressLength
                                   : MAX_ADAPTER_ADDRESS_LENGTH;
  info.physicalAddress.assign(a.PhysicalAddress, a.PhysicalAddress + hardwareLength);
  info.flags = a.Flags;
  info.mtu = a.Mtu;
  info.ifType = a.IfType;
  info.operStatus = static_cast<uint32_t>(a.OperStatus);
  info.ipv6IfIndex = a.Ipv6IfIndex;
  for (int i = 0; i < 16; ++i) info.zoneIndices[i] = a.ZoneIndices[i];
  info.transmitLinkSpeed = a.TransmitLinkSpeed;
  info.receiveLinkSpeed = a.ReceiveLinkSpeed;
  return info;
}

// The system's text for `code`, with its own line break; "" when it has none.
std::string systemText(DWORD code) {
  LPSTR text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&text), 0, nullptr);
  if (n == 0 || text == nullptr) return std::string();
  std::string out(text, n);
  LocalFree(text);
  return out;
}

// One GetAdaptersAddresses listing into a process-heap buffer (HeapFree it;
// null when none could be had, with `allocationFailed`).
ULONG listing(ULONG family, ULONG flags, IP_ADAPTER_ADDRESSES*& buffer, bool& allocationFailed) {
  HANDLE heap = GetProcessHeap();
  ULONG size = kFirstBufferBytes;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  buffer = nullptr;
  for (int call = 0; call < kMostCalls && result == ERROR_BUFFER_OVERFLOW; ++call) {
    if (buffer != nullptr) HeapFree(heap, 0, buffer);
    buffer = static_cast<IP_ADAPTER_ADDRESSES*>(HeapAlloc(heap, 0, size));
    if (buffer == nullptr) {
      allocationFailed = true;
      return ERROR_NOT_ENOUGH_MEMORY;
    }
    result = GetAdaptersAddresses(family, flags, nullptr, buffer, &size);
  }
  return result;
}

// Each adapter's IPv6 unicast addresses by adapter name; empty when they
// cannot be listed.
std::map<std::string, std::vector<AdapterUnicast6>> ipv6ByAdapter() {
  std::map<std::string, std::vector<AdapterUnicast6>> found;
  IP_ADAPTER_ADDRESSES* buffer = nullptr;
  bool allocationFailed = false;
  const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  if (listing(AF_INET6, flags, buffer, allocationFailed) == NO_ERROR) {
    for (const IP_ADAPTER_ADDRESSES* a = buffer; a != nullptr; a = a->Next) {
      std::vector<AdapterUnicast6>& addresses = found[a->AdapterName ? a->AdapterName : ""];
      for (const IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u != nullptr; u = u->Next) {
        const SOCKADDR* address = u->Address.lpSockaddr;
        if (address == nullptr || address->sa_family != AF_INET6) continue;
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
        addresses.push_back(AdapterUnicast6{Ip6Address::fromBytes(in6->sin6_addr.s6_addr), in6->sin6_scope_id});
      }
    }
  }
  if (buffer != nullptr) HeapFree(GetProcessHeap(), 0, buffer);
  return found;
}

}  // namespace

AdapterList listAdapters() {
  AdapterList list;
  IP_ADAPTER_ADDRESSES* buffer = nullptr;
  const ULONG result = listing(AF_INET, GAA_FLAG_INCLUDE_PREFIX, buffer, list.allocationFailed);
  if (list.allocationFailed) return list;
  list.result = result;
  if (result == NO_ERROR) {
    for (const IP_ADAPTER_ADDRESSES* a = buffer; a != nullptr; a = a->Next) list.adapters.push_back(adapterOf(*a));
  } else if (result != kAdaptersNoData) {
    list.errorText = systemText(result);
  }
  HeapFree(GetProcessHeap(), 0, buffer);
  if (!list.adapters.empty()) {
    auto ipv6 = ipv6ByAdapter();
    for (AdapterInfo& info : list.adapters) {
      auto it = ipv6.find(info.adapterName);
      if (it != ipv6.end()) info.unicast6 = std::move(it->second);
    }
  }
  return list;
}
