// The flow tables: flowCache and flowCache6 (open IPv4 and IPv6 flows) and
// toExport (finished flows of both families in the order they finished). The
// capture thread is the only writer of the open tables and the only producer
// of toExport; the export thread consumes toExport; web threads read them
// through the copying accessors. Whatever is said of the open flows below
// covers both families unless a function names one.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "flow/flow_map.h"
#include "flow/flow_record.h"

using FlowCache = FlowMap;
using FlowCache6 = FlowMap6;

// Guards flowCache, flowCache6 and toExport together. Held only for
// in-memory steps, never across a receive, a send, a sleep or a process
// lookup.
extern std::mutex flowTableMutex;
extern FlowCache flowCache;              // guarded by flowTableMutex; IPv4
extern FlowCache6 flowCache6;            // guarded by flowTableMutex; IPv6
extern std::deque<FlowEntry> toExport;   // guarded by flowTableMutex; both families

// Most open flows kept, both families together. A new flow arriving at full
// tables first moves the tenth of the open flows with the oldest lastseen to
// toExport, as a sweep would, so a flood of forged addresses cannot grow the
// process without end.
inline constexpr size_t kFlowCacheLimit = 1'000'000;

// Time of the previous full sweep; capture thread only. Starts at 0, so the
// first decoded packet sweeps; not reset when capture restarts.
extern uint64_t lastSweepTime;

// --- capture thread; the caller holds flowTableMutex -------------------------

// The record under `key`, or null.
FlowRecord* findFlow(const FlowKey& key);
FlowEntry* findFlow6(const FlowKey6& key);

// For a batch of packets: the hash of `key`, hints that bring its index slot
// and then its record into the cache, and the look-up with the hash at hand
// (see FlowMap). Hints change nothing.
inline uint32_t flowHash(const FlowKey& key) { return FlowCache::hashOf(key); }
inline void prefetchFlowSlot(uint32_t hash) { flowCache.prefetchSlot(hash); }
inline void prefetchFlowRecord(uint32_t hash) { flowCache.prefetchRecord(hash); }
inline FlowRecord* findFlow(const FlowKey& key, uint32_t hash) {
  auto it = flowCache.find(key, hash);
  return it == flowCache.end() ? nullptr : &*it;
}
inline uint32_t flowHash6(const FlowKey6& key) { return FlowCache6::hashOf(key); }
inline void prefetchFlowSlot6(uint32_t hash) { flowCache6.prefetchSlot(hash); }
inline void prefetchFlowRecord6(uint32_t hash) { flowCache6.prefetchRecord(hash); }
inline FlowEntry* findFlow6(const FlowKey6& key, uint32_t hash) {
  auto it = flowCache6.find(key, hash);
  return it == flowCache6.end() ? nullptr : &*it;
}

// Counts one packet into the open record `r` (countPacket). When its packets
// or bytes would pass 2^32 - 1, the record as it stands moves to the end of
// toExport instead and `r` begins again with this packet alone: same key,
// direction and owner, new firstseen, pkts 1, replydelay 0. No count ever
// wraps; the records of a long flow sum to all it carried.
inline void countIntoFlow(FlowRecord& r, uint64_t now, uint32_t length, uint8_t tcpFlags);
inline void countIntoFlow(FlowEntry& e, uint64_t now, uint32_t length, uint8_t tcpFlags);
// The rare half of countIntoFlow.
void renewFlow(FlowRecord& r, uint64_t now, uint32_t length, uint8_t tcpFlags);
void renewFlow(FlowEntry& e, uint64_t now, uint32_t length, uint8_t tcpFlags);

inline void countIntoFlow(FlowRecord& r, uint64_t now, uint32_t length, uint8_t tcpFlags) {
  if (countFits(r, length)) [[likely]] {
    countPacket(r, now, length, tcpFlags);
  } else {
    renewFlow(r, now, length, tcpFlags);
  }
}
inline void countIntoFlow(FlowEntry& e, uint64_t now, uint32_t length, uint8_t tcpFlags) {
  if (countFits(e, length)) [[likely]] {
    countPacket(e, now, length, tcpFlags);
  } else {
    renewFlow(e, now, length, tcpFlags);
  }
}

// Inserts `record` under `key` (which must be keyOf(record), and the record
// an IPv4 one: false otherwise) unless the key is present; a present record is left exactly as
// it was. Returns true when inserted. At kFlowCacheLimit open flows the
// oldest tenth moves to toExport first (moveOldestFlows).
bool insertFlow(const FlowKey& key, FlowRecord&& record);
// The same for an IPv6 entry (family 6), under keyOf6(entry).
bool insertFlow6(FlowEntry&& entry);
// An entry of either family into its table, as the two above.
bool insertFlowEntry(FlowEntry&& entry);

// Erases the record under `key`, if any.
void eraseFlow(const FlowKey& key);
void eraseFlow6(const FlowKey6& key);

// --- any thread; takes the lock itself -------------------------------------------

// Gives the open flow under `key` the owner `owner` when it has none yet (an
// owner found after the flow's first packet). False when no such flow is
// open, or it has an owner already; a finished flow is never changed.
bool setFlowOwner(const FlowKey& key, const OwnerRef& owner);
bool setFlowOwner6(const FlowKey6& key, const OwnerRef& owner);

// Moves every record with lastseen < now - 15000 or firstseen < now - 60000
// to the end of toExport, in walk order (IPv4, then IPv6). Returns the
// number moved.
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

// Drops the oldest records of toExport beyond the newest `keep`, while the
// collector cannot take them. Returns the number dropped.
size_t trimExports(size_t keep);

// Called, outside the lock, with every record that takeExports, clearExports
// or trimExports takes from toExport (the history counts finished flows
// there). Null: none. Set before the export thread starts or while it may
// run: the tap is read atomically.
using FinishedFlowTap = void (*)(const FlowEntry* flows, size_t count);
void setFinishedFlowTap(FinishedFlowTap tap);

// Copies of the records waiting in toExport (for the history at the stop).
std::vector<FlowEntry> copyExports();

// --- any thread -----------------------------------------------------------------

struct FlowTotals {
  size_t flows = 0;       // open flows
  size_t waiting = 0;     // records in toExport
  uint64_t bytes = 0;     // sum of bytes over the open flows
  uint64_t pkts = 0;      // sum of pkts over the open flows
};
FlowTotals flowTotals();

// Copies of every open flow, in iteration order (IPv4, then IPv6). The lock
// is held only for the copy.
std::vector<FlowEntry> copyFlows();

// Flows, packets and bytes of the open flows per owner object (null: flows
// without an owner). One walk
// under the lock; owners with equal names are not merged here.
struct OwnerTotal {
  OwnerRef owner;
  uint64_t flows = 0;
  uint64_t pkts = 0;
  uint64_t bytes = 0;
};
std::vector<OwnerTotal> flowTotalsByOwner();

// The same per peer name: flows with equal names (whatever their source)
// share one total; flows without a name are left out.
struct PeerTotal {
  PeerName peer;
  uint64_t flows = 0;
  uint64_t pkts = 0;
  uint64_t bytes = 0;
};
std::vector<PeerTotal> flowTotalsByPeer();

// Open flows as of the latest sweep, for readers that take no lock.
size_t openFlowsAtLastSweep();

// Open flows (both families) and finished ones waiting.
size_t flowCacheSize();
size_t toExportSize();

// Empties the tables and forgets the last sweep, as at start-up. For tests,
// benchmarks and fuzzing; takes flowTableMutex.
void resetFlowTables();
