// Windows adapters: GetAdaptersAddresses for IPv4 with prefixes, into a
// process-heap buffer that starts at 15000 bytes and is regrown to the size
// the call asks for, at most three calls in all. FormatMessageA gives the
// text of any other error. Wide texts are turned into UTF-8.
#include "platform/adapters.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>

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

}  // namespace

AdapterList listAdapters() {
  AdapterList list;
  HANDLE heap = GetProcessHeap();
  ULONG size = kFirstBufferBytes;
  IP_ADAPTER_ADDRESSES* buffer = nullptr;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int call = 0; call < kMostCalls && result == ERROR_BUFFER_OVERFLOW; ++call) {
    if (buffer != nullptr) HeapFree(heap, 0, buffer);
    buffer = static_cast<IP_ADAPTER_ADDRESSES*>(HeapAlloc(heap, 0, size));
    if (buffer == nullptr) {
      list.allocationFailed = true;
      return list;
    }
    result = GetAdaptersAddresses(AF_INET, GAA_FLAG_INCLUDE_PREFIX, nullptr, buffer, &size);
  }
  list.result = result;
  if (result == NO_ERROR) {
    for (const IP_ADAPTER_ADDRESSES* a = buffer; a != nullptr; a = a->Next) list.adapters.push_back(adapterOf(*a));
  } else if (result != kAdaptersNoData) {
    list.errorText = systemText(result);
  }
  HeapFree(heap, 0, buffer);
  return list;
}
