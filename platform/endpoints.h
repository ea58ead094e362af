// The system's IPv4 TCP and UDP endpoint tables with the process that owns
// each endpoint. Plain rows out, no logic; called by the port-to-process
// tables on the capture thread (any thread may call).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct EndpointRow {
  uint32_t localAddr = 0;  // host order
  uint16_t localPort = 0;  // host order
  uint32_t pid = 0;        // owning process; 0 when the system names none
};

enum class EndpointStatus {
  kOk,
  kNoMemory,    // no buffer for the table could be had
  kReadFailed,  // the table function failed; `code` holds its result
};

struct EndpointTable {
  EndpointStatus status = EndpointStatus::kOk;
  int code = 0;                   // the system's result code when kReadFailed
  std::string function;           // the table function (or file) that was read
  std::vector<EndpointRow> rows;  // empty unless kOk
};

// Says which local ports' owners the caller needs. Where finding owners is
// costly, a row of any other port may carry pid 0; an empty filter asks for
// every owner.
using OwnerFilter = std::function<bool(uint16_t localPort)>;

// Every IPv4 TCP endpoint, whatever its state, sorted by local address, local
// port, remote address and remote port.
EndpointTable readTcpEndpoints(const OwnerFilter& ownerWanted = {});

// Every IPv4 UDP endpoint, sorted by local address and local port.
EndpointTable readUdpEndpoints(const OwnerFilter& ownerWanted = {});

// Forgets what the calling thread has learnt about socket owners between
// reads, so the next read starts from nothing (no effect where nothing is
// kept).
void forgetEndpointOwners();
