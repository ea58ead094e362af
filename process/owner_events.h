// The owner-events thread: reads the kernel's socket-owner events, names the
// process behind each (name, account and domain, as the port tables name
// them) and records the owners in ownerTable, so the capture thread never
// waits for any of it. Started once by the program's start-up.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/owner_events.h"
#include "platform/process_info.h"
#include "process/control_group.h"
#include "process/owner_table.h"

// Opens the event source when `wanted` and starts the thread that reads it;
// prints one line saying where owners come from. Main thread, once.
void startOwnerEvents(bool wanted);

// The orderly stop: ends the thread and closes the event source (on Windows
// the trace session, which would otherwise outlive the process). Main
// thread, once, after startOwnerEvents; waits at most about 250 ms.
void stopOwnerEvents();

// The owner of an event's process: its pid, user id, command name and the
// cgroup id it had when it made the socket.
using ProcessOwner = std::function<OwnerRef(uint32_t pid, uint32_t uid, const char* comm, uint64_t cgroup)>;

// Applies one batch of events at `now`, keeping only those of namespace
// `netns`. Owners are made first, without the lock (reading a process takes
// time), then the batch is applied under ownerTableMutex. Events with pid 0
// get no owner of their own: they take the one their socket already has.
void applyOwnerEvents(OwnerTable& table, const std::vector<OwnerEvent>& events, uint64_t netns, uint64_t now,
                      const ProcessOwner& ownerOf);

// Owners of processes already named, so that a process opening many sockets
// is read once. An entry serves the same pid, command name and cgroup for
// kProcessOwnerCacheMillis (a pid is reused, a process may exec or move to
// another cgroup).
inline constexpr uint64_t kProcessOwnerCacheMillis = 2000;
struct ProcessOwnerCache {
  struct Named {
    OwnerRef owner;
    uint64_t readAt = 0;
  };
  struct Key {
    uint32_t pid = 0;
    uint64_t cgroup = 0;
    std::array<char, 16> comm{};  // zero-padded
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    size_t operator()(const Key& k) const noexcept {
      uint64_t words[2];
      memcpy(words, k.comm.data(), sizeof words);
      uint64_t h = (k.cgroup * 0x9E3779B97F4A7C15ull) ^ (static_cast<uint64_t>(k.pid) + (words[0] << 1));
      h = (h ^ words[1] ^ (h >> 29)) * 0xBF58476D1CE4E5B9ull;
      return static_cast<size_t>(h ^ (h >> 32));
    }
  };
  std::unordered_map<Key, Named, KeyHash> byProcess;
};

// The owner of process `pid` from `cache`, or read through `readProcess` and
// remembered (without its cgroup when the event names one). A process that can no longer be read (it ended right after
// its exchange) is named from what the event carries: the command name for
// the name, and the account of `uid` through `readAccount`. The service and
// container are those of `group` (the event's cgroup) when given, else those
// of the cgroup the process is in when read.
OwnerRef cachedProcessOwner(ProcessOwnerCache& cache, uint32_t pid, uint32_t uid, const char* comm, uint64_t cgroup,
                            const ControlGroupNames* group, uint64_t now,
                            const std::function<ProcessInfo(uint32_t pid, bool withControlGroups)>& readProcess,
                            const std::function<ProcessInfo(uint32_t uid)>& readAccount);
