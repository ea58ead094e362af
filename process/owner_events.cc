#include "process/owner_events.h"

#include <atomic>
#include <cstring>
#include <thread>

#include "runtime/console.h"
#include "platform/clock.h"
#include "process/process_identity.h"

namespace {

// How often closed sockets past their grace period are dropped.
constexpr uint64_t kExpireEveryMillis = 1000;
// Longest wait for events, so expiry runs on a quiet system too.
constexpr int kEventWaitMillis = 250;
// A cache this large is emptied rather than searched for stale entries.
constexpr size_t kProcessOwnerCacheMax = 4096;

std::thread eventsThread;
std::atomic<bool> eventsStopping{false};

void eventsLoop(uint64_t netns) {
  ProcessOwnerCache cache;
  ControlGroupMap groups;
  const ControlGroupWalk walk = [](const auto& visit) { return walkOwnerCgroups(visit); };
  const ProcessOwner ownerOf = [&](uint32_t pid, uint32_t uid, const char* comm, uint64_t cgroup) {
    const ControlGroupNames* group = findControlGroup(groups, cgroup, walk);
    return cachedProcessOwner(cache, pid, uid, comm, cgroup, group, currentTimeMillis(), readProcessInfo,
                              readAccountOf);
  };
  std::vector<OwnerEvent> batch;
  batch.reserve(1024);
  uint64_t lastExpiry = currentTimeMillis();
  while (!eventsStopping) {
    batch.clear();
    const int error = readOwnerEvents(batch, kEventWaitMillis);
    if (error != 0) {
      ownerEventsRunning = false;
      closeOwnerEvents();
      consolePrintf("Socket owner events stopped (error %d): owners come from the socket tables only\n", error);
      return;
    }
    const uint64_t now = currentTimeMillis();
    if (!batch.empty()) applyOwnerEvents(ownerTable, batch, netns, now, ownerOf);
    if (now - lastExpiry >= kExpireEveryMillis) {
      lastExpiry = now;
      std::lock_guard<std::mutex> lock(ownerTableMutex);
      expireOwners(ownerTable, now);
    }
  }
}

}  // namespace

void startOwnerEvents(bool wanted) {
  if (!wanted) {
    consolePrintf("ownerEvents is false: owners come from the socket tables only\n");
    return;
  }
  const OwnerEventsOpen opened = openOwnerEvents();
  if (opened.error != 0) {
    consolePrintf("Socket owner events unavailable (%s): owners come from the socket tables only\n",
                  opened.reason.c_str());
    return;
  }
  consolePrintf("Socket owners from kernel events, else from the socket tables\n");
  ownerEventsRunning = true;
  eventsThread = std::thread(eventsLoop, ownerEventsNamespace());
}

void stopOwnerEvents() {
  if (!eventsThread.joinable()) return;
  eventsStopping = true;
  eventsThread.join();
  ownerEventsRunning = false;
  closeOwnerEvents();
}

void applyOwnerEvents(OwnerTable& table, const std::vector<OwnerEvent>& events, uint64_t netns, uint64_t now,
                      const ProcessOwner& ownerOf) {
  std::vector<OwnerRef> owners(events.size());
  for (size_t i = 0; i < events.size(); ++i) {
    const OwnerEvent& e = events[i];
    if (e.kind == OwnerEventKind::kOwned && e.netns == netns && e.pid != 0) owners[i] = ownerOf(e.pid, e.uid, e.comm, e.cgroup);
  }
  std::lock_guard<std::mutex> lock(ownerTableMutex);
  for (size_t i = 0; i < events.size(); ++i) {
    const OwnerEvent& e = events[i];
    switch (e.kind) {
      case OwnerEventKind::kOwned:
        if (e.netns != netns) break;
        if (e.family == 6) {
          recordOwned(table, OwnerKey6{e.localAddr6, e.remoteAddr6, e.localPort, e.remotePort, e.protocol},
                      e.cookie, std::move(owners[i]), now);
        } else {
          recordOwned(table, OwnerKey{e.localAddr, e.remoteAddr, e.localPort, e.remotePort, e.protocol}, e.cookie,
                      std::move(owners[i]), now);
        }
        break;
      case OwnerEventKind::kClosed:
        recordClosed(table, e.cookie, now);
        break;
      case OwnerEventKind::kClosesLost:
        recordClosesLost(table, now);
        break;
    }
  }
}

OwnerRef cachedProcessOwner(ProcessOwnerCache& cache, uint32_t pid, uint32_t uid, const char* comm, uint64_t cgroup,
                            const ControlGroupNames* group, uint64_t now,
                            const std::function<ProcessInfo(uint32_t pid, bool withControlGroups)>& readProcess,
                            const std::function<ProcessInfo(uint32_t uid)>& readAccount) {
  ProcessOwnerCache::Key key;
  key.pid = pid;
  key.cgroup = cgroup;
  const size_t commLength = strnlen(comm, key.comm.size());
  memcpy(key.comm.data(), comm, commLength);
  auto it = cache.byProcess.find(key);
  if (it != cache.byProcess.end() && now - it->second.readAt < kProcessOwnerCacheMillis) return it->second.owner;

  const std::string command(comm, commLength);
  ProcessInfo info = readProcess(pid, group == nullptr);
  if (!info.opened) {
    info = readAccount(uid);
    info.opened = true;
    info.imagePathRead = !command.empty();
    info.imagePath = command;
  }
  OwnerRef owner = ownerFromInfo(pid, info, group);
  if (cache.byProcess.size() >= kProcessOwnerCacheMax) cache.byProcess.clear();
  cache.byProcess[key] = ProcessOwnerCache::Named{owner, now};
  return owner;
}
