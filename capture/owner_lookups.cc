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
  OwnerPortLookup* at = nullptr;
  Queued result = Queued::kJoined;
  if (q.queuedAt[index] != 0) {
    at = &placeOf(q, q.queuedAt[index]);
    if (at->waiting == kOwnerWaitersPerPort) {
      ++q.refused;
      return Queued::kRefused;
    }
  } else {
    OwnerPortRing& ring = query.outbound ? q.sent : q.received;
    if (ring.size == kOwnerQueuePorts) {
      ++q.refused;
      return Queued::kRefused;
    }
    const size_t place = (ring.head + ring.size++) % kOwnerQueuePorts;
    q.queuedAt[index] = static_cast<uint16_t>(place + 1 + (query.outbound ? 0 : kOwnerQueuePorts));
    at = &ring.ports[place];
    at->proto = proto;
    at->v6 = v6;
    at->port = query.ends.localPort;
    at->queuedAt = now;
    at->waiting = 0;
    result = Queued::kQueued;
  }
  if constexpr (std::is_same_v<Query, OwnerQuery6>) {
    at->queries6[at->waiting++] = query;
  } else {
    at->queries[at->waiting++] = query;
  }
  return result;
}

void clearRing(OwnerLookupQueue& q, OwnerPortRing& ring) {
  for (size_t i = 0; i < ring.size; ++i) {
    const OwnerPortLookup& p = ring.ports[(ring.head + i) % kOwnerQueuePorts];
    q.queuedAt[portIndex(p.v6, p.proto, p.port)] = 0;
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

OwnerLookupQueue::OwnerLookupQueue() : queuedAt(4 * kPortsPerTable, 0), unownedUntil(4 * kPortsPerTable, 0) {}

Queued queueLookup(OwnerLookupQueue& q, uint8_t proto, const OwnerQuery& query, uint64_t now) {
  return queueIn(q, false, proto, query, now);
}

Queued queueLookup(OwnerLookupQueue& q, uint8_t proto, const OwnerQuery6& query, uint64_t now) {
  return queueIn(q, true, proto, query, now);
}

bool takeLookup(OwnerLookupQueue& q, uint64_t clockMillis, OwnerPortLookup& out, uint64_t& waitMillis) {
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
  OwnerPortLookup& first = ring.ports[ring.head];
  out = first;
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

size_t resolveLookup(const OwnerPortLookup& lookup, const SystemOwnerLookups& system) {
  size_t found = 0;
  for (size_t i = 0; i < lookup.waiting; ++i) {
    OwnerRef owner;
    if (lookup.v6) {
      (lookup.proto == 6 ? system.tcp6 : system.udp6)(lookup.queuedAt, lookup.queries6[i], owner);
      if (owner) setFlowOwner6(flowKeyOf(lookup.proto, lookup.queries6[i]), owner);
    } else {
      (lookup.proto == 6 ? system.tcp : system.udp)(lookup.queuedAt, lookup.queries[i], owner);
      if (owner) setFlowOwner(flowKeyOf(lookup.proto, lookup.queries[i]), owner);
    }
    if (owner) ++found;
  }
  return found;
}

namespace {

std::thread worker;
std::condition_variable wakeWorker;
std::atomic<bool> workerRuns{false};  // the capture thread may queue
bool workerStop = false;              // guarded by ownerLookupMutex
bool workerIdle = false;              // guarded by ownerLookupMutex: waiting for work

uint64_t monotonicMillis() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

void runWorker() {
  const SystemOwnerLookups system;
  OwnerPortLookup lookup;
  std::unique_lock<std::mutex> lock(ownerLookupMutex);
  while (!workerStop) {
    uint64_t waitMillis = 0;
    if (!takeLookup(ownerLookups, monotonicMillis(), lookup, waitMillis)) {
      workerIdle = waitMillis == 0;
      if (workerIdle) {
        wakeWorker.wait(lock);
      } else {
        wakeWorker.wait_for(lock, std::chrono::milliseconds(waitMillis));
      }
      workerIdle = false;
      continue;
    }
    lock.unlock();
    const size_t found = resolveLookup(lookup, system);
    lock.lock();
    if (found == 0) noteUnowned(ownerLookups, lookup);
  }
}

template <typename Query>
void queueFromCapture(uint8_t proto, const Query& query, uint64_t now) {
  if (!workerRuns.load(std::memory_order_relaxed)) return;
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(ownerLookupMutex);
    wake = queueLookup(ownerLookups, proto, query, now) == Queued::kQueued && workerIdle;
    if (wake) workerIdle = false;  // one wake-up is enough
  }
  if (wake) wakeWorker.notify_one();
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

void startOwnerLookups() {
  stopOwnerLookups();
  {
    std::lock_guard<std::mutex> lock(ownerLookupMutex);
    clearLookups(ownerLookups);
    workerStop = false;
    workerIdle = false;
  }
  worker = std::thread(runWorker);
  workerRuns = true;
}

void stopOwnerLookups() {
  workerRuns = false;
  if (!worker.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(ownerLookupMutex);
    workerStop = true;
  }
  wakeWorker.notify_one();
  worker.join();
  std::lock_guard<std::mutex> lock(ownerLookupMutex);
  clearLookups(ownerLookups);
}
