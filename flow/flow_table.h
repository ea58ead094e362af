// The two flow tables: flowCache (open flows) and toExport (finished flows in
// the order they finished). The capture thread is the only writer of
// flowCache and the only producer of toExport; the export thread consumes
// toExport; web threads read both through the copying accessors.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "flow/flow_map.h"
#include "flow/flow_record.h"

using FlowCache = FlowMap;

// Guards flowCache and toExport together. Held only for in-memory steps,
// never across a receive, a send, a sleep or a process lookup.
extern std::mutex flowTableMutex;
extern FlowCache flowCache;              // guarded by flowTableMutex
extern std::deque<FlowEntry> toExport;   // guarded by flowTableMutex; both families

// Most open flows kept. A new flow arriving at a full table first moves the
// tenth of the open flows with the oldest lastseen to toExport, as a sweep
// would, so a flood of forged addresses cannot grow the process without end.
inline constexpr size_t kFlowCacheLimit = 1'000'000;

// Time of the previous full sweep; capture thread only. Starts at 0, so the
// first decoded packet sweeps; not reset when capture restarts.
extern uint64_t lastSweepTime;

// --- capture thread; the caller holds flowTableMutex -------------------------

// The record under `key`, or null.
FlowRecord* findFlow(const FlowKey& key);

// Inserts `record` under `key` unless the key is present; a present record is
// left exactly as it was. Returns true when inserted. At kFlowCacheLimit
// open flows the oldest tenth moves to toExport first (moveOldestFlows).
bool insertFlow(const FlowKey& key, FlowRecord&& record);

// Erases the record under `key`, if any.
void eraseFlow(const FlowKey& key);

// --- any thread; takes the lock itself -------------------------------------------

// Gives the open flow under `key` the owner `owner` when it has none yet (an
// owner found after the flow's first packet). False when no such flow is
// open, or it has an owner already; a finished flow is never changed.
bool setFlowOwner(const FlowKey& key, const OwnerRef& owner);

// Moves every record with lastseen < now - 15000 or firstseen < now - 60000
// to the end of toExport, in walk order. Returns the number moved.
size_t moveFinishedFlows(uint64_t now);

// Moves the `count` records with the oldest lastseen to the end of toExport,
// oldest first. Returns the number moved.
size_t moveOldestFlows(size_t count);

// Moves every open flow to the end of toExport (a stop of the program).
// Returns the number moved.
size_t moveAllFlows();

// --- capture thread; takes the lock itself ------------------------------------

// Prints, at most once a second, how many flows a full table moved early.
void reportEarlyMoves(uint64_t now);

// The sweep check: runs moveFinishedFlows when more than 1000 ms have passed
// since the previous sweep. Returns true when a sweep ran. Also reports
// early moves (reportEarlyMoves).
bool sweepFlows(uint64_t now);

// --- export thread ------------------------------------------------------------

// Moves up to `max` records from the front of toExport into `out` (appended),
// keeping their order. Returns the number moved.
size_t takeExports(std::vector<FlowEntry>& out, size_t max);

// Empties toExport without sending. Returns the number dropped.
size_t clearExports();

// --- any thread -----------------------------------------------------------------

struct FlowTotals {
  size_t flows = 0;       // entries of flowCache
  size_t waiting = 0;     // records in toExport
  uint32_t bytes = 0;     // sum of bytes over flowCache, 32-bit wrap-around
  uint32_t pkts = 0;      // sum of pkts over flowCache, 32-bit wrap-around
};
FlowTotals flowTotals();

// Copies of every open flow, in flowCache's iteration order. The lock is held
// only for the copy.
std::vector<FlowEntry> copyFlows();

// Flows, packets and bytes of the open flows per owner object (null: flows
// without an owner), counters taken as unsigned 32-bit numbers. One walk
// under the lock; owners with equal names are not merged here.
struct OwnerTotal {
  OwnerRef owner;
  uint64_t flows = 0;
  uint64_t pkts = 0;
  uint64_t bytes = 0;
};
std::vector<OwnerTotal> flowTotalsByOwner();

// Open flows as of the latest sweep, for readers that take no lock.
size_t openFlowsAtLastSweep();

// Sizes of the two tables.
size_t flowCacheSize();
size_t toExportSize();

// Empties both tables and forgets the last sweep, as at start-up. For tests,
// benchmarks and fuzzing; takes flowTableMutex.
void resetFlowTables();
