// Owner look-ups off the capture path. A new TCP or UDP flow whose owner the
// in-memory tables do not name is recorded without one at once, and its
// local port is queued here; a worker thread of its own asks the system's
// tables and gives the owner to the open flow, so the record that is
// exported carries it. The capture thread queues; the worker, started and
// stopped by each capture run, takes; tests drive the pieces directly.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "capture/decode.h"
#include "process/owner_table.h"

// Ports queued at once in each ring (see OwnerLookupQueue); a new port
// finding its ring full gets no look-up.
inline constexpr size_t kOwnerQueuePorts = 512;
// New flows waiting for the owners of queued ports, all ports together;
// a new flow finding no room gets no look-up.
inline constexpr size_t kOwnerWaiters = 4096;
// A port whose look-up found nobody is not looked up again for this long
// (packet time): a flood at it costs one look-up, not one per packet.
inline constexpr uint64_t kUnownedPortMillis = 500;
// The worker's pace: at most this many ports a second, after a burst of
// kOwnerLookupBurst.
inline constexpr uint64_t kOwnerLookupsPerSecond = 2000;
inline constexpr uint64_t kOwnerLookupBurst = 200;

// One queued local port; its waiters (the new flows at it since it was
// queued) are a list through OwnerLookupQueue::waiters.
struct OwnerPortLookup {
  uint8_t proto = 0;      // 6 or 17
  bool v6 = false;        // the waiters' queries are IPv6 ones
  uint16_t port = 0;      // local port, host order
  uint64_t queuedAt = 0;  // packet time of the first waiter
  uint32_t first = 0, last = 0;  // the waiters' list
};

// A flow waiting for its port's owner, and the next in its port's list (or
// in the list of free places).
struct OwnerWaiter {
  OwnerQuery query;
  OwnerQuery6 query6;
  uint32_t next = 0;
};

// A port taken from the queue with its waiters' queries.
struct TakenLookup {
  OwnerPortLookup port;
  std::vector<OwnerQuery> queries;    // IPv4 waiters
  std::vector<OwnerQuery6> queries6;  // IPv6 waiters
};

// Queued ports in order of queueing.
struct OwnerPortRing {
  std::array<OwnerPortLookup, kOwnerQueuePorts> ports;  // `size` from `head`
  size_t head = 0;
  size_t size = 0;
};

struct OwnerLookupQueue {
  OwnerLookupQueue();
  // Ports whose first waiter the host sent (a local program's new flow),
  // taken first; and the others (a peer's new flow, a scan, a flood), so
  // that what arrives from outside cannot crowd out local programs.
  OwnerPortRing sent;
  OwnerPortRing received;
  // By family, protocol and port (portIndex): where the port is queued
  // (0: not queued; 1 to kOwnerQueuePorts: `sent`, place plus one; beyond:
  // `received`), and until when it counts as unowned.
  std::vector<uint16_t> queuedAt;
  std::vector<uint64_t> unownedUntil;
  std::vector<OwnerWaiter> waiters;  // kOwnerWaiters places
  uint32_t freeWaiter = 0;           // first free place; kOwnerWaiters when none is free
  // The pace: look-ups that may be made now, in thousandths, as of budgetAt
  // (the worker's monotonic ms).
  uint64_t budget = kOwnerLookupBurst * 1000;
  uint64_t budgetAt = 0;
  uint64_t refused = 0;  // flows left without a look-up: their ring or the waiters' places were full
};

enum class Queued {
  kQueued,   // the port is queued with this flow as its first waiter
  kJoined,   // the port was queued already; the flow waits with it
  kUnowned,  // the port was found unowned a moment ago: no look-up
  kRefused,  // no room: no look-up
};

// Queues the flow of `query` (protocol `proto`, packet time `now`) for the
// owner of its local port, in the ring its direction chooses when the port
// is not queued yet. Allocates nothing. The caller holds the queue's
// lock.
Queued queueLookup(OwnerLookupQueue& q, uint8_t proto, const OwnerQuery& query, uint64_t now);
Queued queueLookup(OwnerLookupQueue& q, uint8_t proto, const OwnerQuery6& query, uint64_t now);

// Takes the oldest queued port into `out`, those of `sent` first, when the
// pace allows at monotonic
// time `clockMillis`. False when nothing is queued (`waitMillis` 0) or the
// pace holds it back (`waitMillis`: until it allows). The caller holds the
// queue's lock.
bool takeLookup(OwnerLookupQueue& q, uint64_t clockMillis, TakenLookup& out, uint64_t& waitMillis);

// The look-up of `done` found nobody: its port counts as unowned for
// kUnownedPortMillis of packet time. The caller holds the queue's lock.
void noteUnowned(OwnerLookupQueue& q, const OwnerPortLookup& done);

// Forgets every queued port and every unowned one. The caller holds the
// queue's lock.
void clearLookups(OwnerLookupQueue& q);

// The look-ups that may ask the system (owner events first, then the
// system's tables), one per protocol and family.
struct SystemOwnerLookups {
  OwnerLookup tcp = lookupTcpOwner;
  OwnerLookup udp = lookupUdpOwner;
  OwnerLookup6 tcp6 = lookupTcpOwner6;
  OwnerLookup6 udp6 = lookupUdpOwner6;
};

// Looks up the owner of every waiter of `taken` through `system` and gives
// it to the waiter's flow if that is still open and has none
// (setFlowOwner). Returns the number of waiters whose owner was found,
// whether or not their flow was still open. Worker thread; takes the flow
// tables' lock only to give an owner.
size_t resolveLookup(const TakenLookup& taken, const SystemOwnerLookups& system);

// The shared queue the capture thread feeds and the worker drains.
extern std::mutex ownerLookupMutex;
extern OwnerLookupQueue ownerLookups;  // guarded by ownerLookupMutex

// Capture thread, the default owner hooks of decoding: the owner from the
// in-memory tables (knownTcpOwner etc.); on a miss the flow is queued for
// the worker and `owner` left as it was. Nothing is queued while no worker
// runs.
void quickTcpOwner(uint64_t now, const OwnerQuery& query, OwnerRef& owner);
void quickUdpOwner(uint64_t now, const OwnerQuery& query, OwnerRef& owner);
void quickTcpOwner6(uint64_t now, const OwnerQuery6& query, OwnerRef& owner);
void quickUdpOwner6(uint64_t now, const OwnerQuery6& query, OwnerRef& owner);

// Wakes the worker when the flows decoded since the last call queued a port
// while it waited for work. Capture thread, after each hand-over.
void wakeOwnerLookups();

// Starts the worker thread, in the caller's network namespace (it asks the
// system's tables of that namespace); the queue starts empty. Capture
// thread, at the start of a run.
void startOwnerLookups();
// Stops the worker and waits for it: it first makes the look-ups still
// queued, unpaced, for at most 250 ms (and the one it is making), so that
// flows handed to export at a stop carry their owners; what is left then is
// dropped. Capture thread, at the end of a run; harmless when none runs.
void stopOwnerLookups();
