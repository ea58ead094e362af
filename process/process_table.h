// Port-to-process tables: local TCP and UDP ports to the process that owns
// them, rebuilt from the system's endpoint tables on a lookup miss. The
// capture thread looks up and refreshes; web threads read copies.
#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "flow/flow_record.h"

struct ProcessEntry {
  int32_t pid = 0;
  int32_t port = 0;         // local port, host order; equal to the map key
  OwnerRef owner;           // name, user and domain; never null in a table
  uint64_t lastseen = 0;    // time of the latest refresh that held the port
  uint64_t firstseen = 0;   // time of the refresh that made the entry

  const std::string& name() const { return owner->processname; }
  const std::string& user() const { return owner->user; }
  const std::string& domain() const { return owner->domain; }
};

using ProcessTable = std::unordered_map<int32_t, ProcessEntry>;

// Guards both tables. Never held while the system tables or a process's
// identity are read.
extern std::mutex processTableMutex;
extern ProcessTable tcpProcessIDs;  // guarded by processTableMutex
extern ProcessTable udpProcessIDs;  // guarded by processTableMutex

// Capture thread. Sets `owner` to the owner of local `port`, refreshing the
// table once on a miss; leaves it unchanged when the port is still unknown.
void lookupTcpProcess(uint64_t now, int32_t port, OwnerRef& owner);
void lookupUdpProcess(uint64_t now, int32_t port, OwnerRef& owner);

// Any thread: copies of the entries, in the table's iteration order, and the
// table sizes.
std::vector<ProcessEntry> copyTcpProcessIDs();
std::vector<ProcessEntry> copyUdpProcessIDs();
size_t tcpProcessCount();
size_t udpProcessCount();
