// What the metrics read of the flow tables at a scrape: the open flows by
// family and protocol, the finished flows waiting for export, and per owner
// the flows seen in the last minute with their bytes. The tables note each
// flow as it finishes (in the sweep, under flowTableMutex: nothing per
// packet); readers on any thread take the census, which takes the lock.
#pragma once

#include <cstdint>
#include <vector>

#include "flow/flow_record.h"
#include "flow/flow_table.h"

// Open flows of one family (4, 6) and protocol number.
struct ProtocolCount {
  uint8_t family = 4;
  uint8_t proto = 0;
  uint64_t flows = 0;
};

struct FlowCensus {
  std::vector<ProtocolCount> open;     // by family, then protocol number; none with 0 flows
  size_t waiting = 0;                  // records in toExport
  // Per owner object (null: flows without an owner; equal names not merged):
  // the open flows whose last packet came in the last 60 s, and the finished
  // ones whose last packet did, each with all its packets and bytes.
  std::vector<OwnerTotal> lastMinute;
};

// Notes a flow that just finished (moved to toExport). The caller holds
// flowTableMutex.
void noteFinishedFlow(const FlowRecord& record);

// The census at `now` (ms since 1970). Takes flowTableMutex for one walk.
FlowCensus flowCensus(uint64_t now);

// Forgets the finished flows noted. For tests; takes flowTableMutex.
void resetFinishedFlowNotes();
