// Windows endpoint tables from IP Helper, read into a buffer from the
// process heap with one retry at the size the first call asks for: the IPv4
// table, then the IPv6 one for the sockets on [::] or an IPv4-mapped address,
// which take IPv4 too and are listed there only; and the IPv6 tables with
// their full ends. The tables carry every owner, so the owner filter is not
// needed.
#include "platform/endpoints.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <algorithm>
#include <tuple>
#include <vector>

namespace {

// One row with both ends in host order, for putting rows in the order the
// tables promise even where the system's own sorting falls short of it (Wine
// sorts by port alone, or not at all).
struct Ends {
  EndpointRow row;
  uint32_t remoteAddr;
  uint16_t remotePort;
};

std::vector<EndpointRow> inOrder(std::vector<Ends>& ends) {
  std::stable_sort(ends.begin(), ends.end(), [](const Ends& a, const Ends& b) {
    return std::tie(a.row.localAddr, a.row.localPort, a.remoteAddr, a.remotePort) <
           std::tie(b.row.localAddr, b.row.localPort, b.remoteAddr, b.remotePort);
  });
  std::vector<EndpointRow> rows;
  rows.reserve(ends.size());
  for (const Ends& e : ends) rows.push_back(e.row);
  return rows;
}

// Calls `read(buffer, &size)` first with a buffer of `firstSize` bytes and,
// when that is too small, once more at the size it reported. On success
// hands the buffer to `take` and frees it; a failed call goes into `out`
// under the name `function`.
template <typename Read, typename Take>
void readTable(EndpointRead& out, const char* function, ULONG firstSize, Read read, Take take) {
  HANDLE heap = GetProcessHeap();
  ULONG size = firstSize;
  void* buffer = HeapAlloc(heap, 0, size);
  if (!buffer) {
    out.status = EndpointStatus::kNoMemory;
    return;
  }
  DWORD result = read(buffer, &size);
  if (result == ERROR_INSUFFICIENT_BUFFER) {
    HeapFree(heap, 0, buffer);
    buffer = HeapAlloc(heap, 0, size);
    if (!buffer) {
      out.status = EndpointStatus::kNoMemory;
      return;
    }
  }
  // Read again even after a first success; a table that grew since the size
  // was asked for fails here and is tried afresh at the next miss.
  result = read(buffer, &size);
  if (result != NO_ERROR) {
    out.status = EndpointStatus::kReadFailed;
    out.code = static_cast<int>(result);
    out.function = function;
    HeapFree(heap, 0, buffer);
    return;
  }
  take(buffer);
  HeapFree(heap, 0, buffer);
}

// Appends the IPv4 form of an IPv6 row, when it has one. The tables do not
// say which sockets are IPv6-only, so every one on [::] counts.
void addIpv6Row(std::vector<Ends>& ends, const uint8_t local[16], DWORD localPort, const uint8_t remote[16],
                DWORD remotePort, DWORD pid) {
  uint32_t localAddr = 0, remoteAddr = 0;
  if (!ipv4EndsOfIpv6Socket(local, remote, false, localAddr, remoteAddr)) return;
  ends.push_back(Ends{EndpointRow{localAddr, ntohs(static_cast<u_short>(localPort)), pid}, remoteAddr,
                      ntohs(static_cast<u_short>(remotePort))});
}

// A system without IPv6 has no IPv6 table to read, and no rows missing.
void noIpv6IsNoRows(EndpointRead& out) {
  if (out.status == EndpointStatus::kReadFailed && out.code == ERROR_NOT_SUPPORTED) {
    out.status = EndpointStatus::kOk;
    out.code = 0;
  }
}

const uint8_t kUnspecified[16] = {};

}  // namespace

EndpointTable readTcpEndpoints(const OwnerFilter&) {
  EndpointTable out;
  out.function = "GetTcpTable2";
  std::vector<Ends> ends;
  readTable(
      out, "GetTcpTable2", sizeof(MIB_TCPTABLE2),
      [](void* buffer, ULONG* size) { return GetTcpTable2(static_cast<PMIB_TCPTABLE2>(buffer), size, TRUE); },
      [&ends](void* buffer) {
        const auto* table = static_cast<const MIB_TCPTABLE2*>(buffer);
        ends.reserve(table->dwNumEntries);
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
          const MIB_TCPROW2& row = table->table[i];
          ends.push_back(Ends{EndpointRow{ntohl(row.dwLocalAddr), ntohs(static_cast<u_short>(row.dwLocalPort)),
                                          row.dwOwningPid},
                              ntohl(row.dwRemoteAddr), ntohs(static_cast<u_short>(row.dwRemotePort))});
        }
      });
  if (out.status != EndpointStatus::kOk) return out;
  readTable(
      out, "GetTcp6Table2", sizeof(MIB_TCP6TABLE2),
      [](void* buffer, ULONG* size) { return GetTcp6Table2(static_cast<PMIB_TCP6TABLE2>(buffer), size, TRUE); },
      [&ends](void* buffer) {
        const auto* table = static_cast<const MIB_TCP6TABLE2*>(buffer);
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
          const MIB_TCP6ROW2& row = table->table[i];
          addIpv6Row(ends, row.LocalAddr.s6_addr, row.dwLocalPort, row.RemoteAddr.s6_addr, row.dwRemotePort,
                     row.dwOwningPid);
        }
      });
  noIpv6IsNoRows(out);
  if (out.status == EndpointStatus::kOk) out.rows = inOrder(ends);
  return out;
}

EndpointTable readUdpEndpoints(const OwnerFilter&) {
  EndpointTable out;
  out.function = "GetExtendedUdpTable";
  std::vector<Ends> ends;
  readTable(
      out, "GetExtendedUdpTable", sizeof(MIB_UDPTABLE_OWNER_PID),
      [](void* buffer, ULONG* size) {
        return GetExtendedUdpTable(buffer, size, TRUE, AF_INET, UDP_TABLE_OWNER_PID, 0);
      },
      [&ends](void* buffer) {
        const auto* table = static_cast<const MIB_UDPTABLE_OWNER_PID*>(buffer);
        ends.reserve(table->dwNumEntries);
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
          const MIB_UDPROW_OWNER_PID& row = table->table[i];
          ends.push_back(Ends{EndpointRow{ntohl(row.dwLocalAddr), ntohs(static_cast<u_short>(row.dwLocalPort)),
                                          row.dwOwningPid},
                              0, 0});
        }
      });
  if (out.status != EndpointStatus::kOk) return out;
  readTable(
      out, "GetExtendedUdpTable", sizeof(MIB_UDP6TABLE_OWNER_PID),
      [](void* buffer, ULONG* size) {
        return GetExtendedUdpTable(buffer, size, TRUE, AF_INET6, UDP_TABLE_OWNER_PID, 0);
      },
      [&ends](void* buffer) {
        const auto* table = static_cast<const MIB_UDP6TABLE_OWNER_PID*>(buffer);
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
          const MIB_UDP6ROW_OWNER_PID& row = table->table[i];
          addIpv6Row(ends, row.ucLocalAddr, row.dwLocalPort, kUnspecified, 0, row.dwOwningPid);
        }
      });
  noIpv6IsNoRows(out);
  if (out.status == EndpointStatus::kOk) out.rows = inOrder(ends);
  return out;
}

namespace {

// The IPv6 rows with their full ends, IPv4-mapped ones left out.
void addIpv6Ends(std::vector<EndpointRow6>& rows, const uint8_t local[16], DWORD localPort,
                 const uint8_t remote[16], DWORD remotePort, DWORD pid) {
  EndpointRow6 row{Ip6Address::fromBytes(local), Ip6Address::fromBytes(remote),
                   ntohs(static_cast<u_short>(localPort)), ntohs(static_cast<u_short>(remotePort)), pid};
  if (!row.localAddr.v4Mapped() && !row.remoteAddr.v4Mapped()) rows.push_back(row);
}

}  // namespace

EndpointTable6 readTcp6Endpoints(const OwnerFilter&) {
  EndpointTable6 out;
  out.function = "GetTcp6Table2";
  readTable(
      out, "GetTcp6Table2", sizeof(MIB_TCP6TABLE2),
      [](void* buffer, ULONG* size) { return GetTcp6Table2(static_cast<PMIB_TCP6TABLE2>(buffer), size, FALSE); },
      [&out](void* buffer) {
        const auto* table = static_cast<const MIB_TCP6TABLE2*>(buffer);
        out.rows.reserve(table->dwNumEntries);
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
          const MIB_TCP6ROW2& row = table->table[i];
          addIpv6Ends(out.rows, row.LocalAddr.s6_addr, row.dwLocalPort, row.RemoteAddr.s6_addr, row.dwRemotePort,
                      row.dwOwningPid);
        }
      });
  noIpv6IsNoRows(out);
  if (out.status != EndpointStatus::kOk) out.rows.clear();
  return out;
}

EndpointTable6 readUdp6Endpoints(const OwnerFilter&) {
  EndpointTable6 out;
  out.function = "GetExtendedUdpTable";
  readTable(
      out, "GetExtendedUdpTable", sizeof(MIB_UDP6TABLE_OWNER_PID),
      [](void* buffer, ULONG* size) {
        return GetExtendedUdpTable(buffer, size, FALSE, AF_INET6, UDP_TABLE_OWNER_PID, 0);
      },
      [&out](void* buffer) {
        const auto* table = static_cast<const MIB_UDP6TABLE_OWNER_PID*>(buffer);
        out.rows.reserve(table->dwNumEntries);
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
          const MIB_UDP6ROW_OWNER_PID& row = table->table[i];
          addIpv6Ends(out.rows, row.ucLocalAddr, row.dwLocalPort, kUnspecified, 0, row.dwOwningPid);
        }
      });
  noIpv6IsNoRows(out);
  if (out.status != EndpointStatus::kOk) out.rows.clear();
  return out;
}

// The IP Helper offers no question about one connection short of reading
// the whole table, so the caller reads the table.
SocketPresence probeTcpSocket(const SocketEnds&) { return SocketPresence::kUnknown; }
SocketPresence probeUdpSocket(const SocketEnds&) { return SocketPresence::kUnknown; }
SocketPresence probeTcp6Socket(const SocketEnds6&) { return SocketPresence::kUnknown; }
SocketPresence probeUdp6Socket(const SocketEnds6&) { return SocketPresence::kUnknown; }

void forgetEndpointOwners() {}
