// The services the system's service manager has running and the process
// each runs in, as the manager's enumeration buffers hold them, unparsed
// (process/hosted_services parses them). Any thread.
#pragma once

#include <cstdint>
#include <vector>

// One buffer of the enumeration: `count` entries at its start, whose name
// pointers point into the buffer as it lay at address `base`.
struct ServiceListBatch {
  std::vector<uint8_t> bytes;
  uint32_t count = 0;
  uint64_t base = 0;
};

struct ServiceListRead {
  bool supported = false;  // false where the system keeps no such list (Linux: systemd units come from cgroups)
  uint32_t error = 0;      // the system's code when the enumeration failed
  uint32_t pointerBytes = sizeof(void*);
  std::vector<ServiceListBatch> batches;
};

// Enumerates the running Win32 services with their process ids.
ServiceListRead readServiceList();
