#include "capture/owner_lookups.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>
#include <type_traits>

#include "flow/flow_table.h"

std::mutex ownerLookupMutex;
OwnerLookupQueue ownerLookups;

namespace {

constexpr size_t kPortsPerTable = 65536;

// One table of ports per family and protocol.
size_t portIndex(bool v6, uint8_t proto, uint16_t port) {
  return ((v6 ? 2u : 0u) + (proto == 17 ? 1u : 0u)) * kPortsPerTable + port;
}

OwnerPortLookup& placeOf(OwnerLookupQueue& q, uint16_t queued) {
  return queued <= kOwnerQueuePorts ? q.sent.ports[queued - 1u] : q.received.ports[queued - 1u - kOwnerQueuePorts];
}

template <typename Query>
Queued queueIn(OwnerLookupQueue& q, bool v6, uint8_t proto, const Query& query, uint64_t now) {
  const size_t index = portIndex(v6, proto, query.ends.localPort);
  if (q.unownedUntil[index] > now) return Queued::kUnowned;
  const uint32_t place = q.freeWaiter;
  OwnerPortRing& ring = query.outbound ? q.sent : q.received;
  if (place == kOwnerWaiters || (q.queuedAt[index] == 0 && ring.size == kOwnerQueuePorts)) {
    ++q.refused;
    return Queued::kRefused;
  }
  OwnerWaiter& w = q.waiters[place];
  q.freeWaiter = w.next;
  if constexpr (std::is_same_v<Query, OwnerQuery6>) {
    w.query6 = query;
  } else {
    w.query = query;
  }
  w.next = kOwnerWaiters;
  if (q.queuedAt[index] != 0) {
    OwnerPortLookup& at = placeOf(q, q.queuedAt[index]);
    q.waiters[at.last].next = place;
    at.last = place;
    return Queued::kJoined;
  }
  const size_t slot = (ring.head + ring.size++) % kOwnerQueuePorts;
  q.queuedAt[index] = static_cast<uint16_t>(slot + 1 + (query.outbound ? 0 : kOwnerQueuePorts));
  ring.ports[slot] = OwnerPortLookup{proto, v6, query.ends.localPort, now, place, place};
  return Queued::kQueued;
}

// Gives the places of `port`'s waiters back.
void freeWaiters(OwnerLookupQueue& q, const OwnerPortLookup& port) {
  q.waiters[port.last].next = q.freeWaiter;
  q.freeWaiter = port.first;
}

void clearRing(OwnerLookupQueue& q, OwnerPortRing& ring) {
  for (size_t i = 0; i < ring.size; ++i) {
    const OwnerPortLookup& p = ring.ports[(ring.head + i) % kOwnerQueuePorts];
    q.queuedAt[portIndex(p.v6, p.proto, p.port)] = 0;
    freeWaiters(q, p);
  }
  ring.head = 0;
  ring.size = 0;
}

FlowKey flowKeyOf(uint8_t proto, const OwnerQuery& query) {
  const SocketEnds& e = query.ends;
  return query.outbound ? FlowKey{e.localAddr, e.remoteAddr, e.localPort, e.remotePort, query.tos, proto}
                        : FlowKey{e.remoteAddr, e.localAddr, e.remotePort, e.localPort, query.tos, proto};
}

FlowKey6 flowKeyOf(uint8_t proto, const OwnerQuery6& query) {
  const SocketEnds6& e = query.ends;
  return query.outbound ? FlowKey6{e.localAddr, e.remoteAddr, e.localPort, e.remotePort, query.tos, proto}
                        : FlowKey6{e.remoteAddr, e.localAddr, e.remotePort, e.localPort, query.tos, proto};
}

}  // namespace

OwnerLookupQueue::OwnerLookupQueue()
    : queuedAt(4 * kPortsPerTable, 0), unownedUntil(4 * kPortsPerTable, 0), waiters(kOwnerWaiters) {
  for (uint32_t i = 0; i < kOwnerWaiters; ++i) waiters[i].next = i + 1;
}

Queued queueLookup(OwnerLookupQueue& q, uint8_t proto, const OwnerQuery& query, uint64_t now) {
  return queueIn(q, false, proto, query, now);
}

Queued queueLookup(OwnerLookupQueue& q, uint8_t proto, const OwnerQuery6& query, uint64_t now) {
  return queueIn(q, true, proto, query, now);
}

bool takeLookup(OwnerLookupQueue& q, uint64_t clockMillis, TakenLookup& out, uint64_t& waitMillis) {
  waitMillis = 0;
  OwnerPortRing& ring = q.sent.size != 0 ? q.sent : q.received;
  if (ring.size == 0) return false;
  if (clockMillis > q.budgetAt) {
    q.budget = std::min(kOwnerLookupBurst * 1000, q.budget + (clockMillis - q.budgetAt) * kOwnerLookupsPerSecond);
    q.budgetAt = clockMillis;
  }
  if (q.budget < 1000) {
    waitMillis = (1000 - q.budget + kOwnerLookupsPerSecond - 1) / kOwnerLookupsPerSecond;
    return false;
  }
  q.budget -= 1000;
  const OwnerPortLookup& first = ring.ports[ring.head];
  out.port = first;
  out.queries.clear();
  out.queries6.clear();
  for (uint32_t w = first.first; w != kOwnerWaiters; w = q.waiters[w].next) {
    if (first.v6) {
      out.queries6.push_back(q.waiters[w].query6);
    } else {
      out.queries.push_back(q.waiters[w].query);
    }
  }
  freeWaiters(q, first);
  q.queuedAt[portIndex(first.v6, first.proto, first.port)] = 0;
  ring.head = (ring.head + 1) % kOwnerQueuePorts;
  --ring.size;
  return true;
}

void noteUnowned(OwnerLookupQueue& q, const OwnerPortLookup& done) {
  q.unownedUntil[portIndex(done.v6, done.proto, done.port)] = done.queuedAt + kUnownedPortMillis;
}

void clearLookups(OwnerLookupQueue& q) {
  clearRing(q, q.sent);
  clearRing(q, q.received);
  std::fill(q.unownedUntil.begin(), q.unownedUntil.end(), 0);
}

size_t resolveLookup(const TakenLookup& taken, const SystemOwnerLookups& system) {
  const OwnerPortLookup& port = taken.port;
  size_t found = 0;
  for (const OwnerQuery& query : taken.queries) {
    OwnerRef owner;
    (port.proto == 6 ? system.tcp : system.udp)(port.queuedAt, query, owner);
    if (owner) setFlowOwner(flowKeyOf(port.proto, query), owner);
    if (owner) ++found;
  }
  for (const OwnerQuery6& query : taken.queries6) {
    OwnerRef owner;
    (port.proto == 6 ? system.tcp6 : system.udp6)(port.queuedAt, query, owner);
    if (owner) setFlowOwner6(flowKeyOf(port.proto, query), owner);
    if (owner) ++found;
  }
  return found;
}

namespace {

std::thread worker;
std::condition_variable wakeWorker;
std::atomic<bool> workerRuns{false};  // the capture thread may queue
bool workerDraining = false;          // guarded by ownerLookupMutex: finish what is queued, then stop
uint64_t drainUntil = 0;              // guarded by ownerLookupMutex: monotonic ms

// How long a stop lets the worker finish the queued look-ups, unpaced, so
// that the flows handed to export at a stop carry the owners it finds.
constexpr uint64_t kDrainMillis = 250;
bool workerIdle = false;              // guarded by ownerLookupMutex: waiting for work
// A port was queued while the worker waited for work: the capture thread
// wakes it once its hand-over is decoded (wakeOwnerLookups), not at every
// new flow, which would cost a wake-up and a switch of threads each.
std::atomic<bool> wakeDue{false};
// Should a wake-up go missing, the idle worker still looks at the queue
// this often.
constexpr uint64_t kIdleCheckMillis = 100;

uint64_t monotonicMillis() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

void runWorker() {
  const SystemOwnerLookups system;
  TakenLookup lookup;
  lookup.queries.reserve(kOwnerWaiters);
  lookup.queries6.reserve(kOwnerWaiters);
  std::unique_lock<std::mutex> lock(ownerLookupMutex);
  for (;;) {
    uint64_t waitMillis = 0;
    if (workerDraining) {
      if (monotonicMillis() >= drainUntil) break;
      ownerLookups.budget = kOwnerLookupBurst * 1000;
    }
    if (!takeLookup(ownerLookups, monotonicMillis(), lookup, waitMillis)) {
      if (workerDraining) break;
      workerIdle = waitMillis == 0;
      wakeWorker.wait_for(lock, std::chrono::milliseconds(workerIdle ? kIdleCheckMillis : waitMillis));
      workerIdle = false;
      continue;
    }
    lock.unlock();
    const size_t found = resolveLookup(lookup, system);
    lock.lock();
    if (found == 0) noteUnowned(ownerLookups, lookup.port);
  }
}

template <typename Query>
void queueFromCapture(uint8_t proto, const Query& query, uint64_t now) {
  if (!workerRuns.load(std::memory_order_relaxed)) return;
  std::lock_guard<std::mutex> lock(ownerLookupMutex);
  if (queueLookup(ownerLookups, proto, query, now) == Queued::kQueued && workerIdle) {
    workerIdle = false;  // one wake-up is enough
    wakeDue.store(true, std::memory_order_relaxed);
  }
}

}  // namespace

void quickTcpOwner(uint64_t now, const OwnerQuery& query, OwnerRef& owner) {
  if (!knownTcpOwner(query, owner)) queueFromCapture(6, query, now);
}

void quickUdpOwner(uint64_t now, const OwnerQuery& query, OwnerRef& owner) {
  if (!knownUdpOwner(query, owner)) queueFromCapture(17, query, now);
}

void quickTcpOwner6(uint64_t now, const OwnerQuery6& query, OwnerRef& owner) {
  if (!knownTcpOwner6(query, owner)) queueFromCapture(6, query, now);
}

void quickUdpOwner6(uint64_t now, const OwnerQuery6& query, OwnerRef& owner) {
  if (!knownUdpOwner6(query, owner)) queueFromCapture(17, query, now);
}

void wakeOwnerLookups() {
  if (wakeDue.exchange(false, std::memory_order_relaxed)) wakeWorker.notify_one();
}

void startOwnerLookups() {
  stopOwnerLookups();
  {
    std::lock_guard<std::mutex> lock(ownerLookupMutex);
    clearLookups(ownerLookups);
    workerDraining = false;
    workerIdle = false;
  }
  wakeDue = false;
  worker = std::thread(runWorker);
  workerRuns = true;
}

void stopOwnerLookups() {
  workerRuns = false;
  if (!worker.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(ownerLookupMutex);
    workerDraining = true;
    drainUntil = monotonicMillis() + kDrainMillis;
  }
  wakeWorker.notify_one();
  worker.join();
  std::lock_guard<std::mutex> lock(ownerLookupMutex);
  clearLookups(ownerLookups);
}
